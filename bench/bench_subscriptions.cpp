// Subscription messages on the wire for a 1000-row Zerodha watchlist, through the real window and
// connector against a loopback stream: how many go out for a connection and for a settings OK
// that changed nothing, beside the subscribe and unsubscribe calls the connector received (what
// one message per call would have sent).
#include "brokers/zerodha/ZerodhaBroker.h"

#include "QuietWindow.h"

#include <QDialog>
#include <QHostAddress>
#include <QSettings>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

constexpr int kRows = 1000;

// Counts the calls the window and the feeder make; the wire shows what the connector sent.
class CountingZerodha : public ZerodhaBroker {
public:
    CountingZerodha(const QString& url, QObject* parent) : ZerodhaBroker(parent), url(url) {}
    void initialize(const QMap<QString, QString>& config) override
    {
        QMap<QString, QString> local = config;
        local.insert(QStringLiteral("ws_url"), url);
        ZerodhaBroker::initialize(local);
    }
    using ZerodhaBroker::subscribeLiveData;
    void subscribeLiveData(const QStringList& symbols) override
    {
        ++calls;
        ZerodhaBroker::subscribeLiveData(symbols);
    }
    void unsubscribeLiveData(const QString& symbol) override
    {
        ++calls;
        ZerodhaBroker::unsubscribeLiveData(symbol);
    }
    int calls = 0;

private:
    QString url;
};

struct Wire {
    QWebSocketServer server{QStringLiteral("bench"), QWebSocketServer::NonSecureMode};
    std::vector<std::unique_ptr<QWebSocket>> clients;
    int messages = 0;  // subscribe, mode and unsubscribe requests
    int subscribedTokens = 0;

    Wire()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            while (QWebSocket* c = server.nextPendingConnection()) {
                clients.emplace_back(c);
                QObject::connect(c, &QWebSocket::textMessageReceived, [this](const QString& m) {
                    ++messages;
                    if (m.startsWith(QLatin1String("{\"a\":\"subscribe\"")))
                        subscribedTokens += m.count(QLatin1Char(','));  // one after "a", one per further token
                });
            }
        });
    }
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort()); }
};

// Accepts the settings dialog unchanged.
class AcceptingPrompts : public QuietPrompts {
public:
    int execDialog(QDialog*) override { return QDialog::Accepted; }
};

void BM_SubscriptionMessages(benchmark::State& state)
{
    for (auto _ : state) {
        QSettings().clear();
        SettingsManager settings;
        settings.setProvider(SettingsManager::Zerodha);
        settings.setCurrentBroker(QStringLiteral("Zerodha"));
        settings.setZerodhaApiKey(QStringLiteral("KEY"));
        settings.setZerodhaAccessToken(QStringLiteral("TOK"));
        settings.setApiKey(QStringLiteral("bench-key"));
        QStringList tokens;
        for (int i = 0; i < kRows; ++i)
            tokens << QString::number(100000 + i);
        settings.setWatchlistForBroker(QStringLiteral("Zerodha"), tokens);
        settings.setWatchlist(tokens);
        settings.saveSettings();

        Wire wire;
        CountingZerodha* broker = nullptr;
        MainWindowSeams seams = quietSeams();
        seams.prompts = std::make_shared<AcceptingPrompts>();
        seams.autoSubscribeDelayMs = 100;
        seams.settingsDialog = [](SettingsManager*, QWidget* parent) { return new QDialog(parent); };
        seams.brokerFactory = [&](int, QObject* parent) -> IBroker* {
            broker = new CountingZerodha(wire.url(), parent);
            return broker;
        };
        auto window = std::make_unique<MainWindow>(seams);
        window->show();
        runFor(3500);  // start-up steps, the connection and its auto-subscription
        QMetaObject::invokeMethod(window.get(), "onConnectAction");
        runFor(1500);
        state.counters["connect_messages"] = wire.messages;
        state.counters["connect_tokens_subscribed"] = wire.subscribedTokens;
        state.counters["connect_calls"] = broker ? broker->calls : -1;
        state.counters["connect_aim_tokens"] = kRows;

        wire.messages = 0;
        wire.subscribedTokens = 0;
        if (broker)
            broker->calls = 0;
        QMetaObject::invokeMethod(window.get(), "onSettingsAction");
        runFor(1500);
        state.counters["ok_messages"] = wire.messages;
        state.counters["ok_calls"] = broker ? broker->calls : -1;
        state.counters["ok_aim_messages"] = 0;
        window.reset();
    }
}
BENCHMARK(BM_SubscriptionMessages)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    return runWindowBenchmarks(argc, argv, "Subscriptions");
}
