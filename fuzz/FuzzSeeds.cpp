// Writes the seed inputs of a fuzz target into its corpus folder.
#include "FuzzSeeds.h"

#include <QDir>
#include <QFile>

void FuzzSeeds::write(const QList<QByteArray>& seeds)
{
    const QByteArray dir = qgetenv("TICKVANE_FUZZ_SEEDS");
    if (dir.isEmpty())
        return;
    QDir().mkpath(QString::fromLocal8Bit(dir));
    for (int i = 0; i < seeds.size(); ++i) {
        QFile f(QString::fromLocal8Bit(dir) + QStringLiteral("/seed-%1").arg(i, 3, 10, QLatin1Char('0')));
        if (f.open(QIODevice::WriteOnly))
            f.write(seeds.at(i));
    }
}
