// Connection types, the port field and the settings kept between runs.

#include "connection.h"

#include <QSettings>
#include <QString>

#include "corvex/cx_server.h"

namespace
{

constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;

const char *const kGroup = "conndata";
const char *const kHostKey = "vaultname";
const char *const kUserKey = "username";
const char *const kTypeKey = "conntype";
const char *const kPortKey = "port";

std::string Read(QSettings &settings, const char *key)
{
    return settings.value(key, QString()).toString().toStdString();
}

} // namespace

std::vector<std::string> ConnectionTypes()
{
    return {std::string(kConnHttp), std::string(kConnHttps), std::string(kConnRpc)};
}

bool CredentialsEnabledFor(std::string_view chosen)
{
    return chosen == kConnHttp || chosen == kConnHttps;
}

CallRoute RouteFor(std::string_view connectionType)
{
    if (connectionType == kConnRpc)
        return {CX_AUTH_RPC, CX_TRANSPORT_HTTP, false, kHttpPort};
    if (connectionType == kConnHttps)
        return {CX_AUTH_LOGIN, CX_TRANSPORT_HTTPS, true, kHttpsPort};
    return {CX_AUTH_LOGIN, CX_TRANSPORT_HTTP, true, kHttpPort};
}

std::optional<int> ParsePortField(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty())
        return 0;
    if (text.size() > 5)
        return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

ConnSettings ReadConnSettings(QSettings &settings)
{
    settings.beginGroup(kGroup);
    ConnSettings values{Read(settings, kHostKey), Read(settings, kUserKey),
                        Read(settings, kTypeKey), Read(settings, kPortKey)};
    settings.endGroup();
    return values;
}

bool WriteConnSettings(QSettings &settings, const ConnSettings &values)
{
    settings.beginGroup(kGroup);
    settings.setValue(kHostKey, QString::fromStdString(values.host));
    settings.setValue(kUserKey, QString::fromStdString(values.user));
    settings.setValue(kTypeKey, QString::fromStdString(values.connectionType));
    settings.setValue(kPortKey, QString::fromStdString(values.port));
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}
