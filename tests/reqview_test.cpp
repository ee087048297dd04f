// The reqview window under QTest on the offscreen platform: clicking,
// choosing and typing as a person would, against a scripted loopback
// server and against a corapi-sim child process.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "corvex/cx_startup.h"
#include "fixture_server.h"
#include "reqview_dialog.h"
#include "sim_process.h"

#if !defined(CORAPI_SIM) || !defined(REQTOOL)
#error "CORAPI_SIM and REQTOOL must name the simulator and reqtool"
#endif

// Under LeakSanitizer: fontconfig, which Qt asks for fonts, keeps two
// blocks of its own to the end of the process; nothing of ours is excused.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

namespace
{

using namespace std::chrono_literals;

QApplication &app()
{
    static int argc = 1;
    static char name[] = "reqview_test";
    static char *argv[] = {name, nullptr};
    static QApplication *application = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *application;
}

std::string read_file(const QString &path)
{
    std::ifstream in(path.toStdString());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Process events until done() holds or ms pass.
bool wait_until(const std::function<bool()> &done, int ms = 10000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// Once a modal window opens (About, the failure box), hand it to act.
void when_modal_opens(std::function<void(QWidget *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            act(modal);
        }
    });
    poll->start(20);
}

class ReqviewWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(dir_.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir_.filePath("config"));
        setenv("XDG_DATA_HOME", dir_.filePath("data").toUtf8().constData(), 1);
    }
    void TearDown() override
    {
        dialog_.reset();
        cx_shutdown();
    }

    // A new window, shown with the library started (or refused).
    ReqviewDialog &open(bool expect_start = true)
    {
        // One window per run of the program: the library starts once, so
        // the next window of the test process starts it anew.
        if (dialog_) {
            dialog_.reset();
            cx_shutdown();
        }
        dialog_ = std::make_unique<ReqviewDialog>();
        dialog_->show();
        if (expect_start) {
            dialog_->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
            EXPECT_TRUE(wait_until([this] { return dialog_->LibraryStarted(); }));
        }
        return *dialog_;
    }

    template <typename T>
    T *find(const char *name)
    {
        T *child = dialog_->findChild<T *>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QLineEdit *field(const char *name) { return find<QLineEdit>(name); }
    QLineEdit *param(int k) { return field(("paramField" + std::to_string(k)).c_str()); }
    QLabel *label(int k) { return find<QLabel>(("paramLabel" + std::to_string(k)).c_str()); }
    QPlainTextEdit *box(const char *name) { return find<QPlainTextEdit>(name); }
    QPushButton *button(const char *name) { return find<QPushButton>(name); }

    void type(QLineEdit *edit, const QString &text)
    {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

    // Open a combo box's list and click the item with that text.
    void choose(const char *combo_name, const QString &text)
    {
        QComboBox *combo = find<QComboBox>(combo_name);
        int row = combo->findText(text);
        ASSERT_GE(row, 0) << text.toStdString();
        combo->showPopup();
        QAbstractItemView *view = combo->view();
        QModelIndex index = view->model()->index(row, 0);
        view->scrollTo(index);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
        EXPECT_TRUE(wait_until([view] { return !view->isVisible(); }));
    }

    // Fill the connection area for a server on loopback.
    void connect_to(int port, const QString &password = "secret")
    {
        type(field("host"), "127.0.0.1");
        type(field("port"), QString::number(port));
        type(field("user"), "root");
        type(field("password"), password);
    }

    // Press "Test Function" and wait for the call to end.
    void run_test(QWidget *press_enter_in = nullptr)
    {
        int before = finished_;
        if (!connected_) {
            QObject::connect(dialog_.get(), &ReqviewDialog::CallFinished, [this] { finished_++; });
            connected_ = true;
        }
        if (press_enter_in)
            QTest::keyClick(press_enter_in, Qt::Key_Return);
        else
            QTest::mouseClick(button("test"), Qt::LeftButton);
        ASSERT_TRUE(wait_until([&] { return finished_ > before; }));
    }

    std::vector<std::string> visible_labels()
    {
        std::vector<std::string> labels;
        for (int k = 1; k <= kParamSlots; k++) {
            EXPECT_EQ(label(k)->isVisible(), param(k)->isVisible()) << k;
            if (label(k)->isVisible())
                labels.push_back(label(k)->text().toStdString());
        }
        return labels;
    }

    std::string settings_text() { return read_file(dir_.filePath("config/reqview/reqview.ini")); }

    QTemporaryDir dir_;
    std::unique_ptr<ReqviewDialog> dialog_;
    int finished_ = 0;
    bool connected_ = false;
};

// Run a command line copied from the window with the built reqtool and
// the password in place of its placeholder; what it prints.
std::string run_copied(std::string command, const std::string &password)
{
    EXPECT_EQ(command.rfind("reqtool ", 0), 0u) << command;
    command.replace(0, 7, REQTOOL);
    size_t placeholder = command.find("'<password>'");
    if (placeholder != std::string::npos)
        command.replace(placeholder, 12, password);
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    std::string printed;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        printed.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return printed;
}

} // namespace

TEST_F(ReqviewWindow, FirstRunRestoredSettingsAndEveryWayToQuit)
{
    ReqviewDialog &d = open();
    EXPECT_EQ(field("host")->text(), "");
    EXPECT_EQ(field("user")->text(), "");
    EXPECT_EQ(find<QComboBox>("connectionType")->currentText(), "HTTP");
    EXPECT_TRUE(field("user")->isEnabled() && field("password")->isEnabled());
    EXPECT_EQ(find<QComboBox>("function")->currentText(), "system-get-version");
    EXPECT_FALSE(find<QLabel>("paramHint")->isVisible());
    EXPECT_TRUE(visible_labels().empty());
    QComboBox *functions = find<QComboBox>("function");
    ASSERT_EQ(functions->count(), 630);
    for (int i = 0; i < functions->count(); i++)
        ASSERT_FALSE(functions->itemText(i).isEmpty());

    // Quit stores host, user and connection type, never the password.
    type(field("host"), "storage1");
    type(field("user"), "admin");
    type(field("password"), "pw-never-stored");
    type(field("port"), "8580");
    QTest::mouseClick(button("quit"), Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Rejected);
    std::string saved = settings_text();
    for (const char *line :
         {"[conndata]", "vaultname=storage1", "username=admin", "conntype=HTTP", "port=8580"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in " << saved;
    EXPECT_EQ(saved.find("pw-never-stored"), std::string::npos);

    // Restored at the next start; the password is empty. DCE/RPC chosen from
    // the list disables the credentials, HTTP enables them; a typed type
    // changes nothing and is saved as typed, here by Escape.
    ReqviewDialog &again = open();
    EXPECT_EQ(field("host")->text(), "storage1");
    EXPECT_EQ(field("user")->text(), "admin");
    EXPECT_EQ(field("password")->text(), "");
    EXPECT_EQ(field("port")->text(), "8580");
    choose("connectionType", "DCE/RPC");
    EXPECT_FALSE(field("user")->isEnabled() || field("password")->isEnabled());
    choose("connectionType", "HTTP");
    EXPECT_TRUE(field("user")->isEnabled() && field("password")->isEnabled());
    type(find<QComboBox>("connectionType")->lineEdit(), "Plain web");
    EXPECT_TRUE(field("user")->isEnabled());
    type(field("host"), "storage2");
    QTest::keyClick(field("host"), Qt::Key_Escape);
    EXPECT_FALSE(again.isVisible());
    EXPECT_NE(settings_text().find("conntype=Plain web"), std::string::npos);
    EXPECT_NE(settings_text().find("vaultname=storage2"), std::string::npos);

    // The close box saves the same way; DCE/RPC restored disables the credentials.
    open();
    EXPECT_EQ(find<QComboBox>("connectionType")->currentText(), "Plain web");
    EXPECT_TRUE(field("user")->isEnabled());
    type(find<QComboBox>("connectionType")->lineEdit(), "DCE/RPC");
    dialog_->close();
    EXPECT_NE(settings_text().find("conntype=DCE/RPC"), std::string::npos);
    open();
    EXPECT_FALSE(field("user")->isEnabled() || field("password")->isEnabled());
    choose("connectionType", "HTTPS");
    EXPECT_TRUE(field("user")->isEnabled() && field("password")->isEnabled());
}

TEST_F(ReqviewWindow, ChoosingFunctionsShowsTheirParameters)
{
    open();
    choose("function", "file-write-file");
    EXPECT_EQ(visible_labels(),
              (std::vector<std::string>{"data (string)", "offset (integer)",
                                        "overwrite (boolean, optional)", "path (string)"}));
    EXPECT_TRUE(find<QLabel>("paramHint")->isVisible());
    EXPECT_EQ(param(3)->toolTip(), "overwrite: boolean, optional");
    EXPECT_FALSE(find<QLabel>("notShown")->isVisible());

    // Choosing a function again clears its fields.
    type(param(1), "abc");
    choose("function", "file-write-file");
    EXPECT_EQ(param(1)->text(), "");

    // More than eight inputs: the first eight, and a note on the rest;
    // a password input is typed masked.
    choose("function", "auth-directory-set-config");
    EXPECT_EQ(visible_labels().size(), 8u);
    EXPECT_EQ(visible_labels()[3], "bind-password (string, optional)");
    EXPECT_EQ(param(4)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(param(5)->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(find<QLabel>("notShown")->isVisible());
    EXPECT_EQ(find<QLabel>("notShown")->text(), "9 more inputs of this API are not shown");

    choose("function", "system-get-version");
    EXPECT_TRUE(visible_labels().empty());
    EXPECT_FALSE(find<QLabel>("paramHint")->isVisible());
    EXPECT_FALSE(find<QLabel>("notShown")->isVisible());

    // Typing filters the list by any part of the name; choosing from the
    // filtered list shows that function's parameters.
    QComboBox *functions = find<QComboBox>("function");
    type(functions->lineEdit(), "Raid-G");
    QCompleter *completer = functions->completer();
    ASSERT_TRUE(wait_until([completer] { return completer->popup()->isVisible(); }));
    QStringList matching;
    for (int i = 0; i < functions->count(); i++) {
        if (functions->itemText(i).contains("raid-g"))
            matching << functions->itemText(i);
    }
    EXPECT_EQ(completer->completionCount(), matching.size());
    EXPECT_GE(matching.size(), 2);
    QTest::keyClick(completer->popup(), Qt::Key_Down);
    QTest::keyClick(completer->popup(), Qt::Key_Return);
    EXPECT_EQ(functions->currentText(), matching[0]);
    EXPECT_EQ(visible_labels(), (std::vector<std::string>{"name (string)"}));

    // The about box.
    std::string title, text;
    when_modal_opens([&](QWidget *about) {
        title = about->windowTitle().toStdString();
        if (auto *label = about->findChild<QLabel *>("aboutText"))
            text = label->text().toStdString();
        QTest::keyClick(about, Qt::Key_Return);
    });
    QTest::mouseClick(button("about"), Qt::LeftButton);
    EXPECT_EQ(title, "About reqview");
    EXPECT_EQ(text, "reqview utility 3.0");
    EXPECT_TRUE(dialog_->isVisible());
}

TEST_F(ReqviewWindow, RequestsAndFailuresOnTheWire)
{
    // Failed results for volume-size, a reason of 300 characters for
    // quota-report, a result without status for system-get-future, and a
    // passed result with children otherwise.
    const std::string reason_300(300, 'x');
    fixture_server server([&](fixture_conn &conn) {
        std::string request = conn.read_request();
        std::string results =
            request.find("<volume-size>") != std::string::npos
                ? "<results status=\"failed\" reason=\"a &lt; b &gt; c &quot;d&quot; &amp; e\" "
                  "errno=\"14002\"/>"
            : request.find("<quota-report") != std::string::npos
                ? "<results status=\"failed\" reason=\"" + reason_300 + "\" errno=\"1\"/>"
            : request.find("<system-get-future") != std::string::npos
                ? "<results/>"
                : "<results status=\"passed\"><quotas><quota><volume>vol0</volume></quota>"
                  "</quotas></results>";
        conn.send(http_reply(200, "OK", corvex_reply(results)));
    });
    ASSERT_TRUE(server.ok());
    ReqviewDialog &d = open();
    connect_to(server.port(), "pw");

    // Only the filled field 2 is sent; Enter runs the test and keeps the window.
    choose("function", "volume-size");
    type(param(2), "vol0");
    run_test(field("host"));
    EXPECT_TRUE(d.isVisible());
    ASSERT_TRUE(server.wait_idle());
    std::string sent = server.requests().back();
    EXPECT_NE(sent.find("<volume-size><volume>vol0</volume></volume-size>"), std::string::npos)
        << sent;
    EXPECT_EQ(box("error")->toPlainText(), "a < b > c \"d\" & e");
    EXPECT_EQ(box("output")->document()->blockCount(), 1);
    EXPECT_NE(box("output")->toPlainText().indexOf("status=\"failed\""), -1);

    // A field of spaces is sent as spaces; two presses are two calls.
    type(param(1), "  ");
    run_test();
    run_test();
    ASSERT_TRUE(server.wait_idle());
    ASSERT_EQ(server.connections(), 3);
    for (int k : {1, 2}) {
        EXPECT_NE(server.requests()[k].find("<new-size>  </new-size><volume>vol0</volume>"),
                  std::string::npos)
            << server.requests()[k];
    }

    // A passed result shows its lines; the failure reason is cut to 255
    // characters; a result without status reads "Unknown".
    choose("function", "quota-report");
    run_test();
    EXPECT_EQ(box("error")->toPlainText().toStdString(), reason_300.substr(0, 255));
    choose("function", "volume-list-info");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "");
    EXPECT_EQ(box("output")->document()->blockCount(), 7)
        << box("output")->toPlainText().toStdString();
    EXPECT_NE(find<QLabel>("callStatus")->text().indexOf("Passed in"), -1);
    type(find<QComboBox>("function")->lineEdit(), "system-get-future");
    QTest::keyClick(find<QComboBox>("function")->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(wait_until([&] { return box("error")->toPlainText() == "Unknown"; }));
    ASSERT_TRUE(server.wait_idle());
    EXPECT_NE(server.requests().back().find("<system-get-future/>"), std::string::npos);

    // Nothing goes out for a bad port or an empty function text.
    int calls = server.connections();
    type(field("port"), "99999");
    QTest::mouseClick(button("test"), Qt::LeftButton);
    EXPECT_EQ(box("error")->toPlainText(), "Port 99999 is not a number from 1 to 65535");
    // A failure the library builds: its reason is stored escaped and shown plain.
    type(field("port"), "1");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "Can't connect to host (err=10061).");
    type(field("port"), QString::number(server.port()));
    type(find<QComboBox>("function")->lineEdit(), "");
    QTest::mouseClick(button("test"), Qt::LeftButton);
    EXPECT_EQ(box("error")->toPlainText(), "Choose a function to test");
    EXPECT_EQ(server.connections(), calls);
}

TEST_F(ReqviewWindow, CallsAgainstTheSimulator)
{
    sim_process sim(CORAPI_SIM);
    ASSERT_GT(sim.port(), 0);
    open();
    connect_to(sim.port());

    run_test();
    EXPECT_NE(box("output")->toPlainText().indexOf("<results status=\"passed\">"), -1);
    EXPECT_NE(box("output")->toPlainText().indexOf("<version>corapi-sim"), -1);
    EXPECT_EQ(box("error")->toPlainText(), "");

    choose("function", "volume-create");
    type(param(1), "20m");
    type(param(2), "vol0");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "");
    choose("function", "volume-list-info");
    run_test();
    QString listing = box("output")->toPlainText();
    EXPECT_NE(listing.indexOf("<name>vol0</name>"), -1) << listing.toStdString();

    // Find in the output: Ctrl+F, type, Enter for the next match; Escape
    // closes the find field and leaves the window open.
    // The offscreen platform leaves no window active once a list has
    // closed; a person's click would make the window active again.
    QApplication::setActiveWindow(dialog_.get());
    box("output")->setFocus();
    QTest::keySequence(box("output"), QKeySequence::Find);
    QLineEdit *find_field = field("find");
    ASSERT_TRUE(find_field->isVisible());
    QTest::keyClicks(find_field, "size-");
    EXPECT_EQ(box("output")->textCursor().selectedText(), "size-");
    int first = box("output")->textCursor().position();
    QTest::keyClick(find_field, Qt::Key_Return);
    EXPECT_GT(box("output")->textCursor().position(), first);
    QTest::keyClicks(find_field, "nowhere");
    EXPECT_EQ(find<QLabel>("findStatus")->text(), "Not found");
    QTest::keyClick(find_field, Qt::Key_Escape);
    EXPECT_FALSE(find_field->isVisible());
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_FALSE(box("output")->document()->firstBlock().layout()->formats().isEmpty());

    // The copied command makes the same call through reqtool.
    QTest::mouseClick(button("copy"), Qt::LeftButton);
    std::string command = QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(command, "reqtool -p " + std::to_string(sim.port()) +
                           " 127.0.0.1 root '<password>' volume-list-info");
    std::string printed = run_copied(command, "secret");
    EXPECT_NE(printed.find("<name>vol0</name>"), std::string::npos) << printed;

    // A wrong password: the failure in the error box, the failed result in the output.
    type(field("password"), "wrong");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "HTTP POST - Authorization failed");
    EXPECT_NE(box("output")->toPlainText().indexOf("errno=\"13002\""), -1);

    // The history lists the calls, newest first, and loads one back; it
    // never holds a password.
    QComboBox *history = find<QComboBox>("history");
    ASSERT_EQ(history->count(), 4);
    EXPECT_NE(history->itemText(0).indexOf("volume-list-info  failed"), -1);
    choose("history", history->itemText(2));
    EXPECT_EQ(find<QComboBox>("function")->currentText(), "volume-create");
    EXPECT_EQ(param(1)->text(), "20m");
    EXPECT_EQ(param(2)->text(), "vol0");
    EXPECT_EQ(field("password")->text(), "wrong");
    std::string file = read_file(dir_.filePath("data/reqview/history.json"));
    EXPECT_NE(file.find("volume-create"), std::string::npos);
    EXPECT_EQ(file.find("secret"), std::string::npos);
    EXPECT_EQ(file.find("wrong"), std::string::npos);

    // HTTPS against a simulator that serves only TLS, with the certificate
    // it made at start (checked by neither the window nor reqtool without
    // CORVEX_CA_FILE); the copied command makes the same call with -s.
    sim_process tls(CORAPI_SIM, {"-s"});
    ASSERT_GT(tls.port(), 0);
    choose("connectionType", "HTTPS");
    connect_to(tls.port());
    choose("function", "system-get-version");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "");
    EXPECT_NE(box("output")->toPlainText().indexOf("<version>corapi-sim"), -1)
        << box("output")->toPlainText().toStdString();
    QTest::mouseClick(button("copy"), Qt::LeftButton);
    command = QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(command, "reqtool -s -p " + std::to_string(tls.port()) +
                           " 127.0.0.1 root '<password>' system-get-version");
    printed = run_copied(command, "secret");
    EXPECT_NE(printed.find("<version>corapi-sim"), std::string::npos) << printed;
}

TEST_F(ReqviewWindow, DceRpcGoesThroughTheAdministrationLibrary)
{
    // The simulator and the library in this process meet at this socket.
    std::string socket = dir_.filePath("rpc.sock").toStdString();
    setenv("CORAPI_SIM_RPC_SOCKET", socket.c_str(), 1);
    sim_process sim(CORAPI_SIM, {"-r"});
    ASSERT_GT(sim.port(), 0);
    ASSERT_TRUE(wait_until([&] { return access(socket.c_str(), F_OK) == 0; }));
    open();
    type(field("host"), "127.0.0.1");
    type(field("user"), "nobody");
    type(field("password"), "never-sent");
    choose("connectionType", "DCE/RPC");
    EXPECT_FALSE(field("user")->isEnabled());

    choose("function", "volume-create");
    type(param(1), "1g");
    type(param(2), "vol7");
    run_test();
    EXPECT_EQ(box("error")->toPlainText(), "");
    choose("function", "volume-list-info");
    run_test();
    EXPECT_NE(box("output")->toPlainText().indexOf("<name>vol7</name>"), -1)
        << box("output")->toPlainText().toStdString();

    QTest::mouseClick(button("copy"), Qt::LeftButton);
    std::string command = QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(command, "reqtool -r 127.0.0.1 '' '' volume-list-info");
    std::string printed = run_copied(command, "");
    EXPECT_NE(printed.find("<name>vol7</name>"), std::string::npos) << printed;
    unsetenv("CORAPI_SIM_RPC_SOCKET");
}

TEST_F(ReqviewWindow, StartUpFailureShowsTheBoxAndQuits)
{
    char message[64];
    ASSERT_EQ(cx_startup(message, sizeof message), 1);
    std::string title, text;
    when_modal_opens([&](QWidget *box) {
        title = box->windowTitle().toStdString();
        if (auto *m = qobject_cast<QMessageBox *>(box))
            text = m->text().toStdString();
        QTest::keyClick(box, Qt::Key_Return);
    });
    ReqviewDialog &d = open(false);
    ASSERT_TRUE(wait_until([&] { return !d.isVisible(); }));
    EXPECT_EQ(title, "Error");
    EXPECT_EQ(text, "cx_startup failed: already in use");
    EXPECT_FALSE(d.LibraryStarted());
    EXPECT_NE(settings_text().find("[conndata]"), std::string::npos);
}

TEST_F(ReqviewWindow, ServerThatNeverAnswersLeavesTheWindowAliveAndQuitEndsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child writes the moment it clicks Quit here.
    const char *stamp_path = getenv("REQVIEW_TEST_QUIT_STAMP");
    if (!stamp_path) {
        setenv("REQVIEW_TEST_QUIT_STAMP", dir_.filePath("quit-stamp").toUtf8().constData(), 1);
        stamp_path = getenv("REQVIEW_TEST_QUIT_STAMP");
    }
    fixture_server silent([](fixture_conn &conn) {
        conn.read_request();
        conn.hold_open();
    });
    ASSERT_TRUE(silent.ok());

    auto run_and_quit = [&] {
        ReqviewDialog &d = open();
        connect_to(silent.port());
        QTest::mouseClick(button("test"), Qt::LeftButton);
        QTimer::singleShot(1500, [&] {
            // Still painting and counting while the call waits; the button
            // stays off until it ends.
            bool alive = d.CallRunning() && !button("test")->isEnabled() &&
                         find<QLabel>("callStatus")->text().startsWith("Running... 1.") &&
                         !d.grab().isNull();
            if (!alive)
                _exit(3);
            std::ofstream(stamp_path)
                << std::chrono::steady_clock::now().time_since_epoch().count();
            QTest::mouseClick(button("quit"), Qt::LeftButton);
        });
        RunReqview(d);
        _exit(4); // RunReqview returned although a call was running
    };
    EXPECT_EXIT(run_and_quit(), ::testing::ExitedWithCode(0), "");
    long long clicked = 0;
    std::ifstream(stamp_path) >> clicked;
    ASSERT_GT(clicked, 0);
    auto since = std::chrono::steady_clock::now().time_since_epoch() -
                 std::chrono::steady_clock::duration(clicked);
    EXPECT_LT(since, 1s);
}
