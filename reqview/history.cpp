// The history of calls and its file.

#include "history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

namespace
{

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string S(const QJsonValue &value)
{
    return value.toString().toStdString();
}

QJsonObject ToJson(const HistoryEntry &e)
{
    QJsonArray params;
    for (const auto &[name, value] : e.params)
        params.append(QJsonObject{{"name", Q(name)}, {"value", Q(value)}});
    return QJsonObject{
        {"time", Q(e.time)},     {"host", Q(e.host)},   {"conntype", Q(e.connectionType)},
        {"port", Q(e.port)},     {"api", Q(e.api)},     {"params", params},
        {"status", Q(e.status)}, {"seconds", e.seconds}};
}

HistoryEntry FromJson(const QJsonObject &o)
{
    HistoryEntry e;
    e.time = S(o["time"]);
    e.host = S(o["host"]);
    e.connectionType = S(o["conntype"]);
    e.port = S(o["port"]);
    e.api = S(o["api"]);
    for (const QJsonValue &p : o["params"].toArray())
        e.params.emplace_back(S(p.toObject()["name"]), S(p.toObject()["value"]));
    e.status = S(o["status"]);
    e.seconds = o["seconds"].toDouble();
    return e;
}

} // namespace

HistoryEntry HistoryEntryFor(const CallRequest &request, const CallOutcome &outcome,
                             std::string time)
{
    HistoryEntry e;
    e.time = std::move(time);
    e.host = request.host;
    e.connectionType = request.connectionType;
    e.port = request.port ? std::to_string(request.port) : "";
    e.api = request.api;
    for (const CallParam &p : request.params) {
        if (!p.secret)
            e.params.emplace_back(p.name, p.value);
    }
    e.status = outcome.passed ? "passed" : "failed";
    e.seconds = outcome.seconds;
    return e;
}

std::string HistoryLine(const HistoryEntry &e)
{
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.2f s", e.seconds);
    std::string where = e.host + (e.port.empty() ? "" : ":" + e.port);
    return e.time + "  " + e.api + "  " + e.status + "  " + where + "  " + e.connectionType + "  " +
           seconds;
}

History::History(std::string path, size_t cap) : path_(std::move(path)), cap_(cap) {}

std::string History::DefaultPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return (folder + "/reqview/history.json").toStdString();
}

bool History::Load()
{
    entries_.clear();
    QFile file(Q(path_));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return false;
    for (const QJsonValue &value : document.array()) {
        if (entries_.size() == cap_)
            break;
        if (value.isObject())
            entries_.push_back(FromJson(value.toObject()));
    }
    return true;
}

bool History::Save() const
{
    QFileInfo info(Q(path_));
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QJsonArray array;
    for (const HistoryEntry &e : entries_)
        array.append(ToJson(e));
    QSaveFile file(Q(path_));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Only the user reads what was called with which values.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(array).toJson());
    return file.commit();
}

void History::Add(HistoryEntry entry)
{
    entries_.insert(entries_.begin(), std::move(entry));
    if (entries_.size() > cap_)
        entries_.resize(cap_);
}
