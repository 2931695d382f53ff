#pragma once
// Runs an operator script against the main dialog, one step at a time, through
// the handlers the mouse and keyboard reach. Each step is printed with a
// timestamp on standard output; a failed step ends the program with status 1.

#include "app/core/OperatorScript.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <vector>

class CTarvexDlg;
class QDialog;

class CScriptRunner : public QObject {
    Q_OBJECT
public:
    CScriptRunner(CTarvexDlg& dlg, std::vector<ScriptStep> steps, QObject* parent = nullptr);
    ~CScriptRunner() override;

    // Starts with the first step once the event loop runs.
    void Start();
    // 0 while running or after success, 1 after a failure.
    int ExitCode() const { return exitCode_; }
    bool Finished() const { return finished_; }

    static QString Timestamp();

signals:
    void failed(const QString& message);

private:
    void RunStep();
    void StepDone();
    void Fail(const QString& why);
    void Print(const QString& text);
    // Polls waits and answers modal dialogs the script armed answers for.
    void Poll();
    bool AnswerModal(QDialog* d);
    bool LogContains(const QString& text, int& scanned) const;
    // Clicks the device tree item with the text; false while there is none.
    bool ClickTreeItem(const QString& text);
    // What the operator sees of the media: 1090, 1101, 1100 and both command lists.
    bool Dump(const QString& file) const;

    CTarvexDlg& dlg_;
    std::vector<ScriptStep> steps_;
    std::size_t next_ = 0;
    int exitCode_ = 0;
    bool finished_ = false;
    QTimer poll_;

    enum class Wait { None, Sleep, Registered, Log, Modal, Tree, Text };
    Wait wait_ = Wait::None;
    QElapsedTimer waitClock_;
    int waitMs_ = 0;
    QString waitText_;
    int waitId_ = 0;
    int logScanned_ = 0;

    // Answers armed for the next dialog of each kind.
    const ScriptStep* settingsAnswer_ = nullptr;
    bool aboutAnswer_ = false;
    const ScriptStep* searchAnswer_ = nullptr;
    const ScriptStep* inputsAnswer_ = nullptr; // the next row inputs dialog's values
    QPointer<QDialog> answering_;
    QElapsedTimer unanswered_;
};
