// Whether the places the TLS layer searches hold a CA certificate: folders and bundle files,
// with and without one, among files that are no certificates.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "platform/NetworkStack.h"
#include "support/TestFiles.h"

class NetworkStackTest : public QObject
{
    Q_OBJECT

private slots:
    void hasCaCertificates_data()
    {
        QTest::addColumn<QStringList>("files");      // made under the temporary folder; a trailing '/' makes a folder
        QTest::addColumn<QStringList>("locations");  // searched, relative to the temporary folder
        QTest::addColumn<bool>("found");
        const QStringList none;
        QTest::newRow("empty folder") << QStringList{"certs/"} << QStringList{"certs/"} << false;
        QTest::newRow("missing folder and file") << none << QStringList{"certs/", "ca-bundle.crt"} << false;
        QTest::newRow("no location at all") << none << QStringList() << false;
        QTest::newRow("configuration and key only")
            << QStringList{"ssl/openssl.cnf", "ssl/private/"} << QStringList{"ssl/"} << false;
        QTest::newRow("certificate in a folder") << QStringList{"certs/README", "certs/root.pem"}
                                                 << QStringList{"certs/"} << true;
        QTest::newRow("bundle file") << QStringList{"ca-bundle.crt"} << QStringList{"ca-bundle.crt"} << true;
        QTest::newRow("empty folders before a bundle")
            << QStringList{"a/", "b/", "pki/ca-bundle.crt"} << QStringList{"a/", "b/", "pki/ca-bundle.crt"} << true;
        QTest::newRow("certificate in a folder not searched") << QStringList{"elsewhere/root.pem", "certs/"}
                                                              << QStringList{"certs/"} << false;
    }

    void hasCaCertificates()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, locations);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray certificate = TestFiles::readAll(QFINDTESTDATA("../data/platform/test_root_ca.pem"));
        QVERIFY(certificate.startsWith("-----BEGIN CERTIFICATE-----"));
        for (const QString& name : files) {
            const QString path = dir.filePath(name);
            if (name.endsWith(QLatin1Char('/'))) {
                QVERIFY(QDir().mkpath(path));
                continue;
            }
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            const bool isCertificate = name.endsWith(QLatin1String(".pem")) || name.endsWith(QLatin1String(".crt"));
            // A bundle: a comment line, then the certificate (twice, as bundles hold many).
            const QByteArray content = isCertificate ? "# Test roots\n" + certificate + certificate
                                                     : QByteArray("[ req ]\ndistinguished_name = dn\n");
            QVERIFY(TestFiles::writeFile(path, content));
        }
        QStringList searched;
        for (const QString& location : locations)
            searched << dir.filePath(location);
        QTEST(NetworkStack::hasCaCertificates(searched), "found");
    }
};

QTEST_GUILESS_MAIN(NetworkStackTest)
#include "tst_networkstack.moc"
