// Login redirect request lines: only a GET of a path is accepted, and the target it gives stays
// on the loopback host whatever the line holds.
#include "FuzzSeeds.h"
#include "brokers/RedirectRequestLine.h"

TICKVANE_FUZZ_SEEDS("GET /?request_token=RT&status=success HTTP/1.1", "GET /cb?code=ab%2Fc+d&state=x HTTP/1.1",
                    "GET @host/?request_token=X HTTP/1.1", "POST /?code=1 HTTP/1.1", "GET //evil/?code=1 HTTP/1.1")

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char*>(data), int(size));
    const QUrl target = RedirectRequestLine::target(line);
    if (target.isValid()) {
        FUZZ_CHECK(line.startsWith("GET /"));
        FUZZ_CHECK(target.host() == QLatin1String("127.0.0.1") && target.userInfo().isEmpty());
        FUZZ_CHECK(target.path().startsWith(QLatin1Char('/')));
    }
    const QByteArray page = RedirectRequestLine::page(400, QString::fromUtf8(line), QString::fromUtf8(line));
    // The echoed text is escaped: it cannot open a tag of its own in the page.
    FUZZ_CHECK(page.count('<') == RedirectRequestLine::page(400, QString(), QString()).count('<'));
    return 0;
}
