// Whether a download reply carries an instrument master.
#pragma once

#include <QString>

class QNetworkReply;

namespace MasterReply {

// Empty when the finished reply is a master (no network error, a 2xx status); otherwise why it is
// not. A redirect or an error page carries HTML, whose lines would become instruments.
QString failure(const QNetworkReply* reply);

}  // namespace MasterReply
