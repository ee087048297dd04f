// reqview: try out the server's APIs in a dialog.

#include <QApplication>
#include <QCommandLineParser>

#include "reqview_dialog.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("reqview");
    QApplication::setApplicationVersion("3.0");
    QApplication::setDesktopFileName("reqview");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Try out the storage server's APIs: pick one, fill its parameters, press Test Function.\n"
        "The options fill the form over the settings kept from the last run; the password is "
        "always typed in the window.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption host("host", "Server name or address.", "host");
    const QCommandLineOption port("port", "Server port (empty: the default).", "port");
    const QCommandLineOption user("user", "User name.", "user");
    const QCommandLineOption type("connection-type", "HTTP, HTTPS or DCE/RPC.", "type");
    const QCommandLineOption function("function", "API to choose, such as system-get-version.",
                                      "name");
    parser.addOptions({host, port, user, type, function});
    parser.process(app);

    ReqviewDialog dialog;
    dialog.ApplyStartOptions(StartOptions{parser.value(host), parser.value(port),
                                          parser.value(user), parser.value(type),
                                          parser.value(function)});
    return RunReqview(dialog);
}
