// Reading a login redirect's request line and answering it with a small page.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

namespace RedirectRequestLine {

// "GET /path?query HTTP/1.1" -> the target's path and query; an invalid URL for anything else,
// a target that is not a path ("@host/?x", "http://other/") included.
inline QUrl target(const QByteArray& requestLine)
{
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() < 2 || parts.at(0) != "GET" || !parts.at(1).startsWith('/'))
        return QUrl();
    return QUrl(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(parts.at(1)), QUrl::StrictMode);
}

inline QUrlQuery query(const QByteArray& requestLine)
{
    return QUrlQuery(target(requestLine));
}

// A complete HTTP response with a short HTML page; the body text is escaped.
inline QByteArray page(int status, const QString& title, const QString& text)
{
    const QByteArray body = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                                           "<body><h2>%1</h2><p>%2</p></body></html>")
                                .arg(title.toHtmlEscaped(), text.toHtmlEscaped())
                                .toUtf8();
    const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace RedirectRequestLine
