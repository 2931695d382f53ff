#pragma once
// The message log list (control 1008): five columns, a check box in every row,
// full-row selection, and its own row colours: checked rows yellow on navy, the
// focused row white on teal, all others black on white.

#include <QAbstractTableModel>
#include <QColor>
#include <QStringList>
#include <QTableView>
#include <vector>

// Rows of the message log; rows are only ever appended.
class CLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    static constexpr int kColumns = 5;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    // time of day, type, device id, body, head
    void AppendRow(const QStringList& cells);
    const QStringList& Row(int row) const { return rows_[row].cells; }
    bool Checked(int row) const { return rows_[row].checked; }

private:
    struct Row_ {
        QStringList cells;
        bool checked = false;
    };
    std::vector<Row_> rows_;
};

class CListX : public QTableView {
    Q_OBJECT
public:
    explicit CListX(QWidget* parent = nullptr);
    CLogModel* Model() const { return model_; }

    // Text and background of a row in the given state.
    static void RowColours(bool checked, bool focused, QColor& text, QColor& background);

    // Column widths relative to the client width w: w/8, w/8, w/5, w/3, w/4.
    void FitColumns();

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    CLogModel* model_;
};
