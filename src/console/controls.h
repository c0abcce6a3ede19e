// What every console window shares: controls found by their numeric ids, the
// sorted list box, and the operator's message boxes.
//
// A control with an id carries it as its object name, in decimal ("1001"), so
// the windows and their tests find a control by the number it is known by.
// Labels and frames have no id.
#pragma once

#include <QFrame>
#include <QListWidget>
#include <QString>
#include <QWidget>
#include <optional>
#include <string>
#include <string_view>

class QMessageBox;

namespace vextora::console {

inline const QString ERROR_CAPTION = QStringLiteral("Error");

void setControlId(QWidget* control, int id);

// The control with this id in `window` itself, not in a window it owns; null
// when there is none of that type.
template <typename Control>
Control* findControl(const QWidget* window, int id) {
    for (Control* control : window->findChildren<Control*>(QString::number(id))) {
        if (control->window() == window) return control;
    }
    return nullptr;
}

// Sizes the window to its contents and places it in the middle of its
// screen's free area, whatever window owns it.
void centreOnScreen(QWidget* window);

// Text as the system gives it (names, paths, user names are bytes) shown as
// text, and back.
QString displayText(std::string_view bytes);
std::string bytesOf(const QString& text);

// A single-selection list that keeps its entries in alphabetical order
// without regard to letter case, whatever the order they are added in. Each
// entry keeps the exact bytes it was added with; the shown text is only for
// the eye, so a name that is not valid text still reaches the action whole.
class SortedListBox final : public QListWidget {
    Q_OBJECT
public:
    explicit SortedListBox(QWidget* parent = nullptr);

    void addEntry(std::string_view bytes);
    // The selected entry's bytes; nothing when no entry is selected.
    std::optional<std::string> selectedEntry() const;
    // Removes the selected entry. Nothing is selected afterwards: the list
    // never picks the next entry for the operator.
    void removeSelectedEntry();
};

// A read-only line that shows a path: whole when it fits, else elided in
// the middle, so that both its start and its last folder stay in sight. The
// tooltip and the text property are always the whole path.
class PathField final : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    explicit PathField(QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    // What is drawn at the present width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect textArea() const;

    QString text_;
};

// An "Error" box with the warning icon, the text and an OK button, modal
// for `owner` only: it returns at once and the server keeps serving while it
// waits. The box belongs to `owner` and goes away when it is answered. Qt
// also holds the windows that own `owner`; MainWindow opens its dialogs so
// that none does.
QMessageBox* showErrorBox(QWidget* owner, const QString& text);

// A question with Yes and No, modal for `owner` only, returned unopened so
// that the caller connects its `finished` first and then calls open(). The
// answer is QMessageBox::Yes or anything else for no.
QMessageBox* makeQuestionBox(QWidget* owner, const QString& caption, const QString& text);

}  // namespace vextora::console
