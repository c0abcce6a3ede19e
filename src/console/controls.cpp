#include "console/controls.h"

#include <QByteArray>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>

namespace vextora::console {

namespace {

constexpr int BYTES_ROLE = Qt::UserRole;

// Orders by the text without regard to case; entries equal that way fall
// back to the exact text, so the order never depends on insertion.
class SortedEntry final : public QListWidgetItem {
public:
    explicit SortedEntry(std::string_view bytes) : QListWidgetItem(displayText(bytes)) {
        setData(BYTES_ROLE, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    }

    bool operator<(const QListWidgetItem& other) const override {
        int order = text().compare(other.text(), Qt::CaseInsensitive);
        if (order != 0) return order < 0;
        return text() < other.text();
    }
};

}  // namespace

void setControlId(QWidget* control, int id) {
    control->setObjectName(QString::number(id));
}

void centreOnScreen(QWidget* window) {
    window->adjustSize();
    if (QScreen* screen = window->screen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

QString displayText(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string bytesOf(const QString& text) {
    return text.toUtf8().toStdString();
}

SortedListBox::SortedListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(true);
}

void SortedListBox::addEntry(std::string_view bytes) {
    // Added after construction: the sorted insertion must see this ordering,
    // not the base item's case-sensitive one. The list owns its entries.
    addItem(new SortedEntry(bytes));
}

std::optional<std::string> SortedListBox::selectedEntry() const {
    const QList<QListWidgetItem*> chosen = selectedItems();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.front()->data(BYTES_ROLE).toByteArray().toStdString();
}

void SortedListBox::removeSelectedEntry() {
    const QList<QListWidgetItem*> chosen = selectedItems();
    if (chosen.isEmpty()) return;
    delete takeItem(row(chosen.front()));  // an entry, not a widget: the list gave it up
    // A single-selection view moves its selection to the next entry when the
    // selected one goes; the operator's next press must not act on that one.
    selectionModel()->clear();
}

PathField::PathField(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setForegroundRole(QPalette::Text);
    setAutoFillBackground(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void PathField::setText(const QString& text) {
    text_ = text;
    setToolTip(text);
    update();
}

QRect PathField::textArea() const {
    int margin = fontMetrics().averageCharWidth() / 2 + 1;
    return contentsRect().adjusted(margin, 0, -margin, 0);
}

QString PathField::shownText() const {
    return fontMetrics().elidedText(text_, Qt::ElideMiddle, textArea().width());
}

QSize PathField::sizeHint() const {
    // A width of its own, whatever the path: a long path is elided rather
    // than widening its window.
    int frame = 2 * frameWidth();
    return {fontMetrics().averageCharWidth() * 30 + frame,
            fontMetrics().height() + fontMetrics().height() / 2 + frame};
}

QSize PathField::minimumSizeHint() const {
    return {fontMetrics().averageCharWidth() * 8 + 2 * frameWidth(), sizeHint().height()};
}

void PathField::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawText(textArea(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

QMessageBox* showErrorBox(QWidget* owner, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, ERROR_CAPTION, text, QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

QMessageBox* makeQuestionBox(QWidget* owner, const QString& caption, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text,
                                QMessageBox::Yes | QMessageBox::No, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

}  // namespace vextora::console
