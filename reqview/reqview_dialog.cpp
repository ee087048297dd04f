// The reqview window.

#include "reqview_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCompleter>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStandardItemModel>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <unistd.h>

#include "connection.h"
#include "corvex/cx_startup.h"
#include "xml_highlighter.h"

namespace
{

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string S(const QString &text)
{
    return text.toStdString();
}

// The application's icon: a stack of three disks on a blue tile.
QPixmap PaintIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x4e, 0x9a));
    p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.18, size * 0.18);
    const qreal w = size * 0.62, h = size * 0.16, x = (size - w) / 2;
    for (int k = 0; k < 3; k++) {
        qreal y = size * 0.2 + k * size * 0.21;
        p.setBrush(QColor(0xe8, 0xef, 0xfa));
        p.drawRoundedRect(QRectF(x, y, w, h), h * 0.3, h * 0.3);
        p.setBrush(QColor(0x3f, 0xb9, 0x50));
        p.drawEllipse(QPointF(x + w - h * 0.55, y + h / 2), h * 0.2, h * 0.2);
    }
    return pixmap;
}

// The picture at the top left of the connection area.
QPixmap PaintBanner(const QFont &font)
{
    QFont title = font;
    title.setPointSizeF(font.pointSizeF() * 1.8);
    title.setBold(true);
    QFontMetrics metrics(title);
    const int icon = metrics.height() * 2;
    QPixmap pixmap(icon + metrics.horizontalAdvance("reqview") + icon / 2, icon);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.drawPixmap(0, 0, PaintIcon(icon));
    p.setFont(title);
    p.setPen(QColor(0x1f, 0x4e, 0x9a));
    p.drawText(QRect(icon + icon / 4, 0, pixmap.width(), icon), Qt::AlignVCenter, "reqview");
    return pixmap;
}

QLabel *Label(const QString &text, QWidget *buddy = nullptr)
{
    auto *label = new QLabel(text);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

QString Seconds(double seconds)
{
    return QString::number(seconds, 'f', seconds < 10 ? 3 : 1) + " s";
}

} // namespace

ReqviewDialog::ReqviewDialog(QWidget *parent)
    : QDialog(parent), table_(std::make_unique<FunctionTable>()), history_(History::DefaultPath())
{
    ClearFunctionTable(*table_);
    setWindowTitle("reqview");
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setWindowIcon(QIcon(PaintIcon(64)));
    BuildControls();
    BuildLayout();
    FillLists();
    RestoreSettings();
    history_.Load();
    RefreshHistoryList();
}

ReqviewDialog::~ReqviewDialog()
{
    if (running_)
        QApplication::restoreOverrideCursor();
}

void ReqviewDialog::BuildControls()
{
    host_ = new QLineEdit;
    host_->setObjectName("host");
    connectionType_ = new QComboBox;
    connectionType_->setObjectName("connectionType");
    connectionType_->setEditable(true);
    connectionType_->setInsertPolicy(QComboBox::NoInsert);
    connectionType_->setCompleter(nullptr);
    port_ = new QLineEdit;
    port_->setObjectName("port");
    port_->setPlaceholderText("default");
    port_->setToolTip("Port of the server; empty for the default of the connection type "
                      "(80 for HTTP, 443 for HTTPS)");
    user_ = new QLineEdit;
    user_->setObjectName("user");
    password_ = new QLineEdit;
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);

    function_ = new QComboBox;
    function_->setObjectName("function");
    function_->setEditable(true);
    function_->setInsertPolicy(QComboBox::NoInsert);
    function_->setMaxVisibleItems(20);
    function_->setToolTip("Type any part of a name to filter the list");
    historyList_ = new QComboBox;
    historyList_->setObjectName("history");
    historyList_->setPlaceholderText("Recent calls");
    historyList_->setToolTip("Choose a call to load it back into the form");
    paramHint_ = new QLabel("Choose input parameters (if required)");
    paramHint_->setObjectName("paramHint");
    for (int k = 0; k < kParamSlots; k++) {
        paramFields_[k] = new QLineEdit;
        paramFields_[k]->setObjectName(QString("paramField%1").arg(k + 1));
        paramLabels_[k] = Label(QString("param %1").arg(k + 1), paramFields_[k]);
        paramLabels_[k]->setObjectName(QString("paramLabel%1").arg(k + 1));
    }
    notShown_ = new QLabel;
    notShown_->setObjectName("notShown");
    notShown_->setWordWrap(true);

    output_ = new QPlainTextEdit;
    output_->setObjectName("output");
    output_->setReadOnly(true);
    output_->setLineWrapMode(QPlainTextEdit::NoWrap);
    output_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    new XmlHighlighter(output_->document());
    outputLabel_ = Label("Output of test", output_);
    findText_ = new QLineEdit;
    findText_->setObjectName("find");
    findText_->setPlaceholderText("Find in output");
    findText_->installEventFilter(this);
    findStatus_ = new QLabel;
    findStatus_->setObjectName("findStatus");
    callStatus_ = new QLabel;
    callStatus_->setObjectName("callStatus");
    error_ = new QPlainTextEdit;
    error_->setObjectName("error");
    error_->setReadOnly(true);
    errorLabel_ = Label("Error (if any)", error_);

    test_ = new QPushButton("Test &Function");
    test_->setObjectName("test");
    test_->setDefault(true);
    quit_ = new QPushButton("Quit");
    quit_->setObjectName("quit");
    quit_->setAutoDefault(false);
    about_ = new QPushButton("&About reqview...");
    about_->setObjectName("about");
    about_->setAutoDefault(false);
    copy_ = new QPushButton("Copy as &reqtool command");
    copy_->setObjectName("copy");
    copy_->setAutoDefault(false);
    copy_->setToolTip("Copy the reqtool command line that makes the same call; the password "
                      "stays a placeholder");
    ticker_ = new QTimer(this);
    ticker_->setInterval(100);

    connect(connectionType_, &QComboBox::activated, this, &ReqviewDialog::OnConnectionTypeChosen);
    connect(function_, &QComboBox::activated, this, &ReqviewDialog::ShowParameterFields);
    connect(historyList_, &QComboBox::activated, this, &ReqviewDialog::LoadHistoryEntry);
    connect(test_, &QPushButton::clicked, this, &ReqviewDialog::OnTestFunction);
    connect(quit_, &QPushButton::clicked, this, &ReqviewDialog::reject);
    connect(about_, &QPushButton::clicked, this, &ReqviewDialog::ShowAbout);
    connect(copy_, &QPushButton::clicked, this, &ReqviewDialog::CopyReqtoolCommand);
    connect(ticker_, &QTimer::timeout, this, &ReqviewDialog::ShowElapsed);
    connect(findText_, &QLineEdit::textEdited, this, [this] { Find(false, true); });
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, &ReqviewDialog::ShowFind);
}

void ReqviewDialog::BuildLayout()
{
    auto *connection = new QGroupBox;
    auto *grid = new QGridLayout(connection);
    auto *banner = new QLabel;
    banner->setPixmap(PaintBanner(font()));
    grid->addWidget(banner, 0, 0, 4, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->setColumnStretch(0, 1);
    grid->addWidget(Label("Connect to vault or simulator", host_), 0, 1, 1, 2);
    grid->addWidget(host_, 1, 1, 1, 2);
    grid->addWidget(Label("Connection type", connectionType_), 2, 1);
    grid->addWidget(connectionType_, 3, 1);
    grid->addWidget(Label("Port", port_), 2, 2);
    grid->addWidget(port_, 3, 2);
    grid->addWidget(Label("Username", user_), 0, 3);
    grid->addWidget(user_, 1, 3);
    grid->addWidget(Label("Password", password_), 2, 3);
    grid->addWidget(password_, 3, 3);
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(3, 2);
    port_->setMaximumWidth(port_->fontMetrics().horizontalAdvance("0000000") + 16);

    auto *parameters = new QVBoxLayout;
    parameters->addWidget(Label("Choose a function to test", function_));
    parameters->addWidget(function_);
    parameters->addWidget(historyList_);
    parameters->addSpacing(fontMetrics().height() / 2);
    parameters->addWidget(paramHint_);
    for (int k = 0; k < kParamSlots; k++) {
        parameters->addWidget(paramLabels_[k]);
        parameters->addWidget(paramFields_[k]);
    }
    parameters->addWidget(notShown_);
    parameters->addStretch(1);

    findBar_ = new QWidget;
    auto *findRow = new QHBoxLayout(findBar_);
    findRow->setContentsMargins(0, 0, 0, 0);
    findRow->addWidget(findText_, 1);
    findRow->addWidget(findStatus_);
    findBar_->hide();

    auto *results = new QVBoxLayout;
    results->addWidget(outputLabel_);
    results->addWidget(findBar_);
    results->addWidget(output_, 3);
    results->addWidget(callStatus_);
    results->addWidget(errorLabel_);
    results->addWidget(error_, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(about_);
    buttons->addStretch(1);
    buttons->addWidget(copy_);
    buttons->addWidget(test_);
    buttons->addWidget(quit_);

    auto *functionArea = new QGroupBox;
    auto *columns = new QHBoxLayout;
    columns->addLayout(parameters, 2);
    columns->addLayout(results, 5);
    auto *area = new QVBoxLayout(functionArea);
    area->addLayout(columns, 1);
    area->addLayout(buttons);

    auto *top = new QVBoxLayout(this);
    top->addWidget(connection);
    top->addWidget(functionArea, 1);

    QWidget *order[] = {host_, connectionType_, port_, user_, password_, function_, historyList_};
    for (size_t k = 1; k < std::size(order); k++)
        setTabOrder(order[k - 1], order[k]);
    setTabOrder(historyList_, paramFields_[0]);
    for (int k = 1; k < kParamSlots; k++)
        setTabOrder(paramFields_[k - 1], paramFields_[k]);
    setTabOrder(paramFields_[kParamSlots - 1], test_);

    const int em = fontMetrics().averageCharWidth();
    resize(em * 160, fontMetrics().height() * 46);
}

void ReqviewDialog::FillLists()
{
    for (const std::string &type : ConnectionTypes())
        connectionType_->addItem(Q(type));
    connectionType_->model()->sort(0);
    connectionType_->setCurrentIndex(connectionType_->findText(Q(std::string(kConnHttp))));

    table_->count = 0;
    if (!LoadFunctionTable(*table_))
        notShown_->setText(QString("The catalog holds %1 more APIs than the list can take")
                               .arg(table_->notLoaded));
    FillFunctionList(*table_, [this](const char *name) { function_->addItem(name); });
    function_->model()->sort(0);
    auto *completer = new QCompleter(function_->model(), function_);
    completer->setFilterMode(Qt::MatchContains);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    completer->setMaxVisibleItems(20);
    function_->setCompleter(completer);

    paramHint_->hide();
    for (int k = 0; k < kParamSlots; k++) {
        paramLabels_[k]->hide();
        paramFields_[k]->hide();
    }
    notShown_->setVisible(!notShown_->text().isEmpty());
    // Selected without a choice being accepted: the parameter area stays hidden.
    function_->setCurrentIndex(function_->findText("system-get-version"));
}

void ReqviewDialog::RestoreSettings()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "reqview", "reqview");
    ConnSettings saved = ReadConnSettings(settings);
    if (!saved.host.empty())
        host_->setText(Q(saved.host));
    if (!saved.user.empty())
        user_->setText(Q(saved.user));
    if (!saved.connectionType.empty())
        connectionType_->setEditText(Q(saved.connectionType));
    if (!saved.port.empty())
        port_->setText(Q(saved.port));
    if (connectionType_->currentText() == Q(std::string(kConnRpc))) {
        user_->setEnabled(false);
        password_->setEnabled(false);
    }
}

void ReqviewDialog::ApplyStartOptions(const StartOptions &options)
{
    if (!options.host.isEmpty())
        host_->setText(options.host);
    if (!options.port.isEmpty())
        port_->setText(options.port);
    if (!options.user.isEmpty())
        user_->setText(options.user);
    if (!options.connectionType.isEmpty()) {
        connectionType_->setEditText(options.connectionType);
        bool enabled = CredentialsEnabledFor(S(options.connectionType));
        user_->setEnabled(enabled);
        password_->setEnabled(enabled);
    }
    if (!options.function.isEmpty()) {
        int index = function_->findText(options.function);
        if (index >= 0) {
            function_->setCurrentIndex(index);
            ShowParameterFields(index);
        } else {
            function_->setEditText(options.function);
        }
    }
}

void ReqviewDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!startAttempted_) {
        startAttempted_ = true;
        // Start in the first connection field still to fill, else the function.
        QWidget *first = function_;
        for (QLineEdit *field : {host_, user_, password_}) {
            if (field->isEnabled() && field->text().isEmpty()) {
                first = field;
                break;
            }
        }
        first->setFocus();
        QTimer::singleShot(0, this, &ReqviewDialog::StartLibrary);
    }
}

void ReqviewDialog::StartLibrary()
{
    char message[1024] = "";
    if (cx_startup(message, sizeof message)) {
        libraryStarted_ = true;
        return;
    }
    QMessageBox::critical(this, "Error", QString::fromUtf8(message));
    OnQuit();
}

void ReqviewDialog::OnConnectionTypeChosen(int index)
{
    bool enabled = CredentialsEnabledFor(S(connectionType_->itemText(index).left(255)));
    user_->setEnabled(enabled);
    password_->setEnabled(enabled);
}

void ReqviewDialog::ShowParameterFields(int index)
{
    const FunctionEntry *entry = FindFunction(*table_, S(function_->itemText(index).left(255)));
    if (!entry)
        return;
    ParameterArea area = ParameterAreaFor(*entry);
    for (int k = 0; k < kParamSlots; k++) {
        const ParamPairState &pair = area.pairs[k];
        paramFields_[k]->clear();
        if (pair.visible) {
            paramLabels_[k]->setText(Q(pair.label));
            paramLabels_[k]->setToolTip(Q(pair.tooltip));
            paramFields_[k]->setToolTip(Q(pair.tooltip));
            paramFields_[k]->setEchoMode(entry->params[k].secret ? QLineEdit::Password
                                                                 : QLineEdit::Normal);
        }
        paramLabels_[k]->setVisible(pair.visible);
        paramFields_[k]->setVisible(pair.visible);
    }
    paramHint_->setVisible(area.hintVisible);
    notShown_->setText(Q(area.notShownNote));
    notShown_->setVisible(area.notShown > 0);
}

FormState ReqviewDialog::ReadForm() const
{
    FormState form;
    form.host = S(host_->text());
    form.user = S(user_->text());
    form.password = S(password_->text());
    form.connectionType = S(connectionType_->currentText());
    form.port = S(port_->text());
    form.function = S(function_->currentText());
    for (int k = 0; k < kParamSlots; k++)
        form.values[k] = S(paramFields_[k]->text());
    return form;
}

void ReqviewDialog::accept()
{
    OnTestFunction();
}

void ReqviewDialog::OnTestFunction()
{
    if (running_ || !libraryStarted_)
        return;
    CallRequest request;
    std::string problem;
    output_->clear();
    if (!BuildCallRequest(*table_, ReadForm(), request, problem)) {
        error_->setPlainText(Q(problem));
        callStatus_->clear();
        return;
    }
    error_->clear();
    running_ = true;
    test_->setEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    elapsed_.start();
    ShowElapsed();
    ticker_->start();

    // The call runs on its own thread; its outcome comes back to this one.
    // Should the window go first, the thread finishes and deletes itself.
    auto outcome = std::make_shared<CallOutcome>();
    QThread *call = QThread::create([request, outcome] { *outcome = RunCall(request); });
    connect(call, &QThread::finished, this,
            [this, request, outcome] { OnCallFinished(request, *outcome); });
    connect(call, &QThread::finished, call, &QObject::deleteLater);
    call->start();
}

void ReqviewDialog::ShowElapsed()
{
    callStatus_->setText("Running... " + Seconds(elapsed_.elapsed() / 1000.0));
}

void ReqviewDialog::OnCallFinished(const CallRequest &request, const CallOutcome &outcome)
{
    running_ = false;
    ticker_->stop();
    QApplication::restoreOverrideCursor();
    test_->setEnabled(true);
    error_->setPlainText(Q(outcome.errorText));
    output_->setPlainText(Q(outcome.outputText));
    callStatus_->setText(QString("%1 %2, result of %3 bytes")
                             .arg(outcome.passed ? "Passed in" : "Failed in")
                             .arg(Seconds(outcome.seconds))
                             .arg(outcome.resultBytes));
    QString now = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss");
    history_.Add(HistoryEntryFor(request, outcome, S(now)));
    history_.Save();
    RefreshHistoryList();
    emit CallFinished();
}

void ReqviewDialog::reject()
{
    OnQuit();
}

void ReqviewDialog::OnQuit()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "reqview", "reqview");
    WriteConnSettings(settings, ConnSettings{S(host_->text()), S(user_->text()),
                                             S(connectionType_->currentText()), S(port_->text())});
    QDialog::done(QDialog::Rejected);
}

void ReqviewDialog::ShowAbout()
{
    AboutDialog about(this);
    about.exec();
}

void ReqviewDialog::CopyReqtoolCommand()
{
    CallRequest request;
    std::string problem;
    if (!BuildCallRequest(*table_, ReadForm(), request, problem)) {
        error_->setPlainText(Q(problem));
        return;
    }
    QString command = Q(ReqtoolCommand(request));
    QApplication::clipboard()->setText(command);
    callStatus_->setText("Copied: " + command);
}

void ReqviewDialog::RefreshHistoryList()
{
    historyList_->clear();
    for (const HistoryEntry &entry : history_.Entries())
        historyList_->addItem(Q(HistoryLine(entry)));
    historyList_->setCurrentIndex(-1);
}

void ReqviewDialog::LoadHistoryEntry(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= history_.Entries().size())
        return;
    const HistoryEntry entry = history_.Entries()[static_cast<size_t>(index)];
    historyList_->setCurrentIndex(-1);
    host_->setText(Q(entry.host));
    port_->setText(Q(entry.port));
    connectionType_->setEditText(Q(entry.connectionType));
    bool enabled = CredentialsEnabledFor(entry.connectionType);
    user_->setEnabled(enabled);
    password_->setEnabled(enabled);
    int item = function_->findText(Q(entry.api));
    if (item < 0) {
        function_->setEditText(Q(entry.api));
        return;
    }
    function_->setCurrentIndex(item);
    ShowParameterFields(item);
    const FunctionEntry *function = FindFunction(*table_, entry.api);
    for (const auto &[name, value] : entry.params) {
        for (int k = 0; function && k < function->inputCount; k++) {
            if (name == function->params[k].name)
                paramFields_[k]->setText(Q(value));
        }
    }
}

void ReqviewDialog::ShowFind()
{
    findBar_->show();
    findText_->setFocus();
    findText_->selectAll();
}

void ReqviewDialog::Find(bool backwards, bool fromStart)
{
    QString text = findText_->text();
    if (text.isEmpty()) {
        findStatus_->clear();
        return;
    }
    QTextDocument::FindFlags flags;
    if (backwards)
        flags |= QTextDocument::FindBackward;
    if (fromStart) {
        // Search again from where the current match starts, as the text grows.
        QTextCursor cursor = output_->textCursor();
        cursor.setPosition(cursor.selectionStart());
        output_->setTextCursor(cursor);
    }
    bool found = output_->find(text, flags);
    if (!found) {
        // Wrap around once.
        QTextCursor cursor = output_->textCursor();
        cursor.movePosition(backwards ? QTextCursor::End : QTextCursor::Start);
        output_->setTextCursor(cursor);
        found = output_->find(text, flags);
    }
    findStatus_->setText(found ? QString() : QString("Not found"));
}

bool ReqviewDialog::eventFilter(QObject *watched, QEvent *event)
{
    // In the find field Enter finds the next match and Escape closes the
    // field; neither reaches the dialog, where they would run the test or quit.
    if (watched == findText_ && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            Find(key->modifiers() & Qt::ShiftModifier, false);
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            findBar_->hide();
            output_->setFocus();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

int RunReqview(ReqviewDialog &dialog)
{
    dialog.exec();
    if (dialog.CallRunning()) {
        // The call's thread may sit in a read that never ends; leave
        // without the exit handlers, which would pull the library from
        // under it.
        fflush(nullptr);
        _exit(0);
    }
    return 0;
}

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle("About reqview");
    auto *icon = new QLabel;
    icon->setPixmap(PaintIcon(48));
    auto *text = new QLabel("reqview utility 3.0");
    text->setObjectName("aboutText");
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto *row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}
