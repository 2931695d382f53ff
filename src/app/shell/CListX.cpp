#include "app/shell/CListX.h"

#include "base/TextCodec.h"
#include "platform/subscriptions/EventMarks.h"

#include <QHeaderView>
#include <algorithm>
#include <cctype>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

const char* const kCaptions[CLogModel::kColumns] = {"时间", "方向", "对端", "类型", "设备ID", "信息体", "信息头"};

// Cells show one line of possibly long multi-line texts.
QString OneLine(const QString& s) {
    QString t = s.left(400);
    t.replace(QLatin1String("\r\n"), QLatin1String(" "));
    t.replace(QLatin1Char('\n'), QLatin1Char(' '));
    t.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return t;
}

class RowColourDelegate : public QStyledItemDelegate {
public:
    explicit RowColourDelegate(QTableView* view) : QStyledItemDelegate(view), view_(view) {}

protected:
    void initStyleOption(QStyleOptionViewItem* opt, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(opt, index);
        const QModelIndex first = index.siblingAtColumn(0);
        const bool checked = first.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        const bool focused = view_->currentIndex().isValid() &&
                             view_->currentIndex().row() == index.row();
        QColor text, back;
        CListX::RowColours(checked, focused, first.data(CLogModel::kAlarmRole).toBool(), text, back);
        // The focused row is drawn in its own colours instead of the selection's.
        opt->state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        opt->backgroundBrush = back;
        opt->palette.setColor(QPalette::Text, text);
        opt->palette.setColor(QPalette::HighlightedText, text);
        opt->font.setItalic(false);
        opt->font.setStrikeOut(false);
    }

private:
    QTableView* view_;
};

} // namespace

CLogModel::CLogModel(const MessageLog& log, QObject* parent) : QAbstractTableModel(parent), log_(log) {}

int CLogModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return filter_.Empty() ? rows_ : static_cast<int>(shown_.size());
}

int CLogModel::LogRow(int row) const {
    if (row < 0 || row >= rowCount()) return -1;
    return filter_.Empty() ? row : static_cast<int>(shown_[static_cast<std::size_t>(row)]);
}

int CLogModel::ListRow(int logRow) const {
    if (logRow < 0 || logRow >= rows_) return -1;
    if (filter_.Empty()) return logRow;
    const auto it = std::lower_bound(shown_.begin(), shown_.end(), static_cast<std::uint32_t>(logRow));
    return it != shown_.end() && *it == static_cast<std::uint32_t>(logRow) ? static_cast<int>(it - shown_.begin())
                                                                          : -1;
}

bool CLogModel::Checked(int row) const {
    const int r = LogRow(row);
    return r >= 0 && r < static_cast<int>(checked_.size()) && checked_[r];
}

namespace {
// Whether a body's bytes are already the UTF-8 that decoding them gives: bytes
// 1 to 127 alone, in no encoding or an ASCII-compatible one the decoder reads
// them in (UTF-8, the GB family). Most logged bodies are such: they are read
// in place, with nothing made for them.
bool ReadsAsItIs(std::string_view body) {
    for (const char c : body)
        if (static_cast<unsigned char>(c) - 1u >= 0x7Fu) return false;
    std::string d = TextCodec::DeclaredEncoding(body);
    if (d.empty()) return true;
    for (char& c : d) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return d == "UTF-8" || d == "UTF8" || d == "GB2312" || d == "GBK" || d == "GB18030";
}
} // namespace

void CLogModel::Kept(std::size_t from, std::size_t to, std::vector<std::uint32_t>& kept) const {
    std::string decoded;
    log_.ScanRows(from, to, [&](std::size_t i, const MessageLog::RowView& r) {
        std::string_view body = r.body;
        if (!ReadsAsItIs(body)) {
            decoded = TextCodec::BodyToUtf8(body);
            body = decoded;
        }
        if (filter_.Matches({r.direction, r.deviceId, r.head, body, r.peer}))
            kept.push_back(static_cast<std::uint32_t>(i));
    });
}

bool CLogModel::SetFilter(const std::string& text, std::string* error) {
    tarvex::logfilter::Filter f;
    if (!f.Compile(text, error)) return false;
    beginResetModel();
    filter_ = std::move(f);
    shown_.clear();
    cache_.clear();
    if (!filter_.Empty()) Kept(0, static_cast<std::size_t>(rows_), shown_);
    endResetModel();
    return true;
}

int CLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QString CLogModel::DirectionText(int direction) {
    return QString::fromUtf8(direction == 2 ? "← 接收" : "→ 发送");
}

QStringList CLogModel::Cells(int row) const {
    MessageLog::RowText r;
    row = LogRow(row);
    if (row < 0 || !log_.Row(static_cast<std::size_t>(row), r)) return {};
    auto utf8 = [](const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); };
    return {utf8(r.ListTime()), DirectionText(r.direction), utf8(r.peer), utf8(r.typeText), utf8(r.deviceId),
            utf8(TextCodec::BodyToUtf8(r.body)), utf8(TextCodec::BodyToUtf8(r.head))};
}

QStringList CLogModel::Row(int row) const {
    const QStringList* c = Cached(row);
    if (!c || c->size() < kColumns) return {};
    return {(*c)[kTime], (*c)[kType], (*c)[kDevice], (*c)[kBody], (*c)[kHead]};
}

const QStringList* CLogModel::Cached(int row) const {
    if (QStringList* c = cache_.object(row)) return c;
    auto* cells = new QStringList(Cells(row));
    cache_.insert(row, cells);
    return cache_.object(row);
}

QVariant CLogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    if (role == Qt::CheckStateRole)
        return index.column() == 0 ? QVariant(Checked(index.row()) ? Qt::Checked : Qt::Unchecked)
                                   : QVariant();
    if (role == kAlarmRole) {
        const int r = LogRow(index.row());
        if (r < 0) return false;
        if (static_cast<int>(alarm_.size()) <= r) alarm_.resize(static_cast<std::size_t>(r) + 1, -1);
        signed char& a = alarm_[static_cast<std::size_t>(r)];
        if (a < 0) {
            MessageLog::RowText t;
            a = log_.Row(static_cast<std::size_t>(r), t) && tvsub::IsAlarmRow(t.direction, t.head, t.body);
        }
        return a == 1;
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::UserRole) return {};
    const QStringList* cells = Cached(index.row());
    if (!cells || index.column() >= cells->size()) return {};
    const QString& cell = (*cells)[index.column()];
    if (role == Qt::DisplayRole) return OneLine(cell);
    if (role == Qt::ToolTipRole) return index.column() >= kBody ? QVariant(cell.left(2000)) : QVariant();
    return cell;
}

bool CLogModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != 0) return false;
    const int r = LogRow(index.row());
    if (r < 0) return false;
    if (static_cast<int>(checked_.size()) <= r) checked_.resize(r + 1, false);
    checked_[r] = value.toInt() == Qt::Checked;
    emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(kColumns - 1));
    return true;
}

Qt::ItemFlags CLogModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant CLogModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumns)
        return QString::fromUtf8(kCaptions[section]);
    return {};
}

void CLogModel::TakeNewRows() {
    const int n = static_cast<int>(log_.Size());
    if (n <= rows_) return;
    if (filter_.Empty()) {
        beginInsertRows({}, rows_, n - 1);
        rows_ = n;
        endInsertRows();
        return;
    }
    std::vector<std::uint32_t> kept;
    Kept(static_cast<std::size_t>(rows_), static_cast<std::size_t>(n), kept);
    rows_ = n;
    if (kept.empty()) return;
    const int first = static_cast<int>(shown_.size());
    beginInsertRows({}, first, first + static_cast<int>(kept.size()) - 1);
    shown_.insert(shown_.end(), kept.begin(), kept.end());
    endInsertRows();
}

CListX::CListX(const MessageLog& log, QWidget* parent)
    : QTableView(parent), model_(new CLogModel(log, this)) {
    setModel(model_);
    setItemDelegate(new RowColourDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(true);
    setWordWrap(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->hide();
    // Fixed row heights keep the view fast with a very long log.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
    // The focused row changes colour: repaint the old and new rows.
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { viewport()->update(); });
}

void CListX::RowColours(bool checked, bool focused, QColor& text, QColor& background) {
    RowColours(checked, focused, false, text, background);
}

void CListX::RowColours(bool checked, bool focused, bool alarm, QColor& text, QColor& background) {
    text = alarm ? QColor(170, 0, 0) : QColor(Qt::black);
    background = alarm ? QColor(255, 228, 228) : QColor(Qt::white);
    if (checked) {
        text = QColor(255, 255, 0);
        background = QColor(0, 0, 128);
    }
    if (focused) {
        text = Qt::white;
        background = QColor(0, 153, 153);
    }
}

void CListX::FitColumns() {
    const int w = viewport()->width();
    const QFontMetrics fm = fontMetrics();
    // The short columns at least as wide as their usual texts (the time after the check box).
    auto at = [&](double share, const char* widest, int extra) {
        return std::max(static_cast<int>(w * share), fm.horizontalAdvance(QString::fromUtf8(widest)) + extra);
    };
    setColumnWidth(CLogModel::kTime, at(0.12, "00:00:00.000", 34));
    setColumnWidth(CLogModel::kDirection, at(0.06, "→ 发送", 12));
    setColumnWidth(CLogModel::kPeer, at(0.13, "127.0.0.1:5060", 12));
    setColumnWidth(CLogModel::kType, w / 10);
    setColumnWidth(CLogModel::kDevice, w / 8);
    setColumnWidth(CLogModel::kBody, w / 5);
    setColumnWidth(CLogModel::kHead, w / 5);
}

void CListX::resizeEvent(QResizeEvent* e) {
    QTableView::resizeEvent(e);
    FitColumns();
}
