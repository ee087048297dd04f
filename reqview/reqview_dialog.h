// The reqview window: connection settings on top; the function, its
// parameters, the output and the error below. A press of "Test Function"
// (or Enter) runs one call on a thread of its own, so the window keeps
// painting and Quit works while a server takes its time.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <array>
#include <memory>
#include <string>

#include "call.h"
#include "function_table.h"
#include "history.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QWidget;

// What the command line may set before the dialog shows; empty means unset.
struct StartOptions {
    QString host;
    QString port;
    QString user;
    QString connectionType;
    QString function;
};

class ReqviewDialog : public QDialog
{
    Q_OBJECT

  public:
    explicit ReqviewDialog(QWidget *parent = nullptr);
    ~ReqviewDialog() override;

    // Put the options into the form, over the restored settings.
    void ApplyStartOptions(const StartOptions &options);

    bool LibraryStarted() const { return libraryStarted_; }
    bool CallRunning() const { return running_; }
    const FunctionTable &Table() const { return *table_; }

  signals:
    // A call ended and its result is shown.
    void CallFinished();

  public slots:
    void accept() override; // Enter: run the test, stay open
    void reject() override; // Quit, Escape and the close box

  protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void BuildControls();
    void BuildLayout();
    void FillLists();
    void RestoreSettings();
    void StartLibrary();
    void OnConnectionTypeChosen(int index);
    void ShowParameterFields(int index);
    void OnTestFunction();
    void OnCallFinished(const CallRequest &request, const CallOutcome &outcome);
    void OnQuit();
    void ShowAbout();
    void CopyReqtoolCommand();
    void RefreshHistoryList();
    void LoadHistoryEntry(int index);
    void ShowFind();
    void Find(bool backwards, bool fromStart);
    void ShowElapsed();
    FormState ReadForm() const;

    std::unique_ptr<FunctionTable> table_;
    History history_;
    bool libraryStarted_ = false;
    bool startAttempted_ = false;
    bool running_ = false;
    QElapsedTimer elapsed_;

    QLineEdit *host_ = nullptr;
    QComboBox *connectionType_ = nullptr;
    QLineEdit *port_ = nullptr;
    QLineEdit *user_ = nullptr;
    QLineEdit *password_ = nullptr;
    QComboBox *function_ = nullptr;
    QComboBox *historyList_ = nullptr;
    QLabel *paramHint_ = nullptr;
    std::array<QLabel *, kParamSlots> paramLabels_{};
    std::array<QLineEdit *, kParamSlots> paramFields_{};
    QLabel *notShown_ = nullptr;
    QLabel *outputLabel_ = nullptr;
    QPlainTextEdit *output_ = nullptr;
    QWidget *findBar_ = nullptr;
    QLineEdit *findText_ = nullptr;
    QLabel *findStatus_ = nullptr;
    QLabel *callStatus_ = nullptr;
    QLabel *errorLabel_ = nullptr;
    QPlainTextEdit *error_ = nullptr;
    QPushButton *test_ = nullptr;
    QPushButton *quit_ = nullptr;
    QPushButton *about_ = nullptr;
    QPushButton *copy_ = nullptr;
    QTimer *ticker_ = nullptr;
};

// Run the dialog until it closes. A call still under way then cannot be
// waited for (the server may never answer): the program ends at once,
// its settings and history already written.
int RunReqview(ReqviewDialog &dialog);

// The about box: icon, "reqview utility 3.0" and OK.
class AboutDialog : public QDialog
{
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget *parent = nullptr);
};
