#pragma once
// The selected log row in full (control 1210), as a packet viewer shows one:
//   消息     (1211) head and body decoded, whole, selectable and copyable;
//   信息头   (1212) the start line and every header, name and value (Ctrl+C copies);
//   原始字节 (1213) the bytes as logged, in hex and ASCII;
//   呼叫流程 (1214) the ladder of the row's Call-ID (CLadderView).
// Reads only the row shown (and, for the ladder, the rows of its call).

#include <QDialog>
#include <QTabWidget>

class CLadderView;
class MessageLog;
class QPlainTextEdit;
class QTreeWidget;

class CMessageView : public QTabWidget {
    Q_OBJECT
public:
    enum Tab { kMessage, kHeaders, kRaw, kLadder };
    explicit CMessageView(QWidget* parent = nullptr);
    // The log row (the log's index); -1 or a row that does not exist clears the views.
    void ShowRow(const MessageLog& log, int logRow);
    // The ladder read again (rows of the call came in); only while its tab shows.
    void RefreshLadder(const MessageLog& log);
    int ShownRow() const { return row_; }
    QPlainTextEdit* MessageText() const { return text_; }
    QTreeWidget* HeaderTree() const { return headers_; }
    QPlainTextEdit* RawText() const { return raw_; }
    CLadderView* Ladder() const { return ladder_; }
    // What Ctrl+C in the header list copies: "Name: value" lines of the selection.
    QString SelectedHeaders() const;

signals:
    // A click on an arrow of the ladder.
    void ladderRowClicked(int logRow);

private:
    QPlainTextEdit* text_;
    QTreeWidget* headers_;
    QPlainTextEdit* raw_;
    CLadderView* ladder_;
    int row_ = -1;
    bool ladderStale_ = false;
    const MessageLog* log_ = nullptr;
};

// The same view in a window of its own ("消息内容"), opened by a double click
// on the time, direction, peer, type or device column.
class CMessageDlg : public QDialog {
    Q_OBJECT
public:
    CMessageDlg(const MessageLog& log, int logRow, QWidget* parent = nullptr);
    CMessageView* View() const { return view_; }

private:
    CMessageView* view_;
};
