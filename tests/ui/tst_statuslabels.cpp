// Status-bar labels of a fixed size and the status line's slot: a new text of any length repaints
// the label but never has the status bar or the window laid out again (which, with a full
// watchlist, stalls the tick stream), a cut text stays readable on hover, the size follows
// the font, and the status line still narrows with the window.
#include "support/OfflineWindow.h"
#include "ui/ElidedLabel.h"
#include "ui/StatusLine.h"

#include <QMainWindow>
#include <QStatusBar>
#include <QtTest>

namespace {

// Counts the layout requests that reach the watched widgets.
class LayoutRequests : public QObject
{
public:
    explicit LayoutRequests(const QList<QWidget*>& widgets)
    {
        for (QWidget* w : widgets)
            w->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::LayoutRequest)
            ++count;
        return false;
    }
};

void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

const QString kLong = QStringLiteral("Custom API: the quote host answered 503 Service Unavailable for every symbol "
                                     "of the watchlist, retrying in 5 seconds");

} // namespace

class TestStatusLabels : public QObject, public WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(openHome("StatusLabelsTest")); }
    void init() { freshState(); }
    void cleanup() { dropState(); }

    void newTextLeavesLayoutsAlone_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("short") << QStringLiteral("OK");
        QTest::newRow("one digit more") << QStringLiteral("Ticks: 10000000");
        QTest::newRow("far too long") << kLong;
    }

    void newTextLeavesLayoutsAlone()
    {
        QFETCH(QString, text);
        QMainWindow window;
        auto* label = new ElidedLabel(QStringLiteral("Ready"), QStringLiteral("Ticks: 0000000000"));
        window.statusBar()->addPermanentWidget(label);
        auto* line = new StatusLine(QStringLiteral("Ready"));
        window.statusBar()->addPermanentWidget(line);
        window.setCentralWidget(new QWidget);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        settle();
        const QSize size = label->size();
        const QRect geometry = window.geometry();

        const QSize lineSize = line->label()->size();
        LayoutRequests requests({&window, window.statusBar(), line});
        label->setText(text);
        line->label()->setText(text);
        settle();
        QCOMPARE(requests.count, 0);
        QCOMPARE(label->size(), size);
        QCOMPARE(line->label()->size(), lineSize);
        QCOMPARE(window.geometry(), geometry);
        QCOMPARE(label->text(), text);
        QCOMPARE(line->label()->text(), text);
    }

    void statusLineNarrowsWithTheWindow()
    {
        QMainWindow window;
        auto* line = new StatusLine(QStringLiteral("Ready"));
        window.statusBar()->addPermanentWidget(line);
        window.setCentralWidget(new QWidget);
        window.resize(line->sizeHint().width() * 2, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        settle();
        QCOMPARE(line->label()->width(), line->width());
        QCOMPARE(line->width(), line->sizeHint().width());

        // Narrower than a usual status text: the slot gives way, and the label with it.
        window.resize(line->sizeHint().width() / 2, 300);
        QTRY_VERIFY(line->width() < line->sizeHint().width());
        QVERIFY(line->width() >= line->minimumSizeHint().width());
        QCOMPARE(line->label()->width(), line->width());
        line->label()->setText(kLong);
        QCOMPARE(line->label()->hoverText(), kLong);
    }

    void cutTextShowsWholeOnHover()
    {
        ElidedLabel label(QStringLiteral("Ready"), QStringLiteral("Ticks: 0000000000"));
        label.show();
        QVERIFY(QTest::qWaitForWindowExposed(&label));
        label.setText(kLong);
        QVERIFY(label.isElided());
        QCOMPARE(label.hoverText(), kLong);
        label.setText(QStringLiteral("Ticks: 12"));
        QVERIFY(!label.isElided());
        QCOMPARE(label.hoverText(), QString());
    }

    void sizeFollowsTheFont()
    {
        ElidedLabel label(QStringLiteral("Ticks: 0"), QStringLiteral("Ticks: 0000000000"));
        const QSize before = label.size();
        QVERIFY(label.width() >= label.fontMetrics().horizontalAdvance(QStringLiteral("Ticks: 0000000000")));
        QFont bigger = label.font();
        bigger.setPointSizeF(bigger.pointSizeF() * 2);
        label.setFont(bigger);
        QVERIFY(label.width() > before.width());
        QVERIFY(label.height() > before.height());
        QVERIFY(label.width() >= label.fontMetrics().horizontalAdvance(QStringLiteral("Ticks: 0000000000")));
        // A style sheet margin widens the box around the same room.
        const int plain = label.width();
        label.setStyleSheet(QStringLiteral("QLabel { margin-left: 10px; margin-right: 10px; }"));
        QCOMPARE(label.width(), plain + 20);
    }

    // The window's own status labels that change while ticks stream, the connection label, the
    // tick counter and the status line, may not lay out the window with its table, whatever
    // their text.
    void windowStatusTextsLeaveTheWindowAlone()
    {
        auto w = std::make_unique<MainWindow>(recordingSeams());
        QVERIFY(finishStartup(*w));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        settle();
        const QList<StatusLine*> lines = w->statusBar()->findChildren<StatusLine*>();
        QCOMPARE(lines.size(), 4);  // and the version, which gives way when the window is narrow
        QCOMPARE(lines.at(0)->label()->text(), QStringLiteral("Disconnected"));
        QVERIFY(lines.at(1)->label()->text().startsWith(QLatin1String("Ticks: ")));
        QCOMPARE(windowStatus(*w), lines.at(2)->label()->text());
        const QRect geometry = w->geometry();

        LayoutRequests requests({w.get(), w->statusBar(), w->centralWidget()});
        for (StatusLine* line : lines) {
            QLabel* label = line->label();
            const QSize size = label->size();
            for (const QString& text : {kLong, QStringLiteral("Ticks: 1234567890"), QStringLiteral("x")}) {
                label->setText(text);
                settle();
                QCOMPARE(label->size(), size);
            }
        }
        QCOMPARE(requests.count, 0);
        QCOMPARE(w->geometry(), geometry);
    }
};

QTEST_MAIN(TestStatusLabels)
#include "tst_statuslabels.moc"
