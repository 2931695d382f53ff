#pragma once
// The message log list (control 1008): seven columns, a check box in every row,
// full-row selection, and its own row colours: checked rows yellow on navy, the
// focused row white on teal, all others black on white.

#include "app/core/MessageLog.h"
#include "app/shell/LogFilter.h"

#include <QAbstractTableModel>
#include <QCache>
#include <QColor>
#include <QStringList>
#include <QTableView>
#include <vector>

// The rows of the core's message log as the list shows them. The log keeps
// each message once; this model keeps only how many rows it has taken and the
// check marks, and makes the texts of the rows it is asked for.
class CLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // 时间, 方向 (→ sent, ← received), 对端 (host:port), 类型, 设备ID, 信息体, 信息头.
    enum Column { kTime, kDirection, kPeer, kType, kDevice, kBody, kHead, kColumns };
    // data() of any column: true for a row that carries an alarm (EventMarks.h).
    static constexpr int kAlarmRole = Qt::UserRole + 2;
    explicit CLogModel(const MessageLog& log, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    // Takes the rows the log gained since the last call, in one insertion
    // (under a display filter, those it keeps).
    void TakeNewRows();
    // time of day, type, device id, body, head: decoded, whole (by list row).
    QStringList Row(int row) const;
    // The texts of every column (Column order), decoded, whole.
    QStringList Cells(int row) const;
    static QString DirectionText(int direction);
    bool Checked(int row) const;

    // The display filter (LogFilter.h); an empty text shows every row. False
    // with the reason, the rows as they were, when the text does not parse.
    bool SetFilter(const std::string& text, std::string* error);
    bool Filtered() const { return !filter_.Empty(); }
    // The log's index of a list row (the same without a filter), -1 for none.
    int LogRow(int row) const;
    // The list row of a log row, -1 when the filter hides it or it is not taken yet.
    int ListRow(int logRow) const;

private:
    const QStringList* Cached(int row) const;
    // The log rows of [from, to) the filter keeps, appended to kept in order.
    void Kept(std::size_t from, std::size_t to, std::vector<std::uint32_t>& kept) const;

    const MessageLog& log_;
    int rows_ = 0;                     // log rows taken
    tarvex::logfilter::Filter filter_;
    std::vector<std::uint32_t> shown_; // under a filter: the log rows kept, in order
    std::vector<bool> checked_;        // by log row
    mutable QCache<int, QStringList> cache_{512};
    mutable std::vector<signed char> alarm_; // by log row: -1 not read yet, 0, 1
};

class CListX : public QTableView {
    Q_OBJECT
public:
    explicit CListX(const MessageLog& log, QWidget* parent = nullptr);
    CLogModel* Model() const { return model_; }

    // Text and background of a row in the given state.
    static void RowColours(bool checked, bool focused, QColor& text, QColor& background);
    // The same for a row that carries an alarm: dark red on pink unless checked or focused.
    static void RowColours(bool checked, bool focused, bool alarm, QColor& text, QColor& background);

    // Column widths relative to the client width w; the head takes the rest.
    void FitColumns();

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    CLogModel* model_;
};
