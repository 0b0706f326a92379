#include "platform/ui/qt/edit_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QValidator>

namespace qtwin {
namespace {

class AccessibleEdit : public QAccessibleWidget,
                       public QAccessibleTextInterface,
                       public QAccessibleEditableTextInterface
{
public:
    explicit AccessibleEdit(QLineEdit* pEdit) : QAccessibleWidget(pEdit, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        // A read-only box has nothing to edit with.
        if (type == QAccessible::EditableTextInterface)
            return Edit()->isReadOnly() ? nullptr : static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectableText = true;
        if (Edit()->isReadOnly())
            s.readOnly = true;
        else
            s.editable = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return Edit()->text();
        return QAccessibleWidget::text(t);
    }

    void setText(QAccessible::Text t, const QString& text) override
    {
        if (t == QAccessible::Value)
            Write(text);
        else
            QAccessibleWidget::setText(t, text);
    }

    // --- Reading -------------------------------------------------------------

    void selection(int selectionIndex, int* startOffset, int* endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && Edit()->hasSelectedText()) {
            *startOffset = Edit()->selectionStart();
            *endOffset = Edit()->selectionEnd();
        }
    }
    int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0)
            Edit()->deselect();
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0 && InText(startOffset) && InText(endOffset))
            Edit()->setSelection(startOffset, endOffset - startOffset);
    }
    int cursorPosition() const override { return Edit()->cursorPosition(); }
    void setCursorPosition(int position) override
    {
        if (InText(position))
            Edit()->setCursorPosition(position);
    }
    QString text(int startOffset, int endOffset) const override
    {
        const QString all = Edit()->text();
        if (startOffset < 0 || startOffset > endOffset || startOffset > all.size())
            return {};
        return all.mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(Edit()->text().size()); }
    QRect characterRect(int offset) const override
    {
        if (!InText(offset))
            return {};
        // Left-aligned single-line text: the advance of what comes before.
        const QFontMetrics metrics(Edit()->font());
        const QString all = Edit()->text();
        const QRect contents = Edit()->contentsRect();
        const int x = contents.left() + 2 + metrics.horizontalAdvance(all.left(offset));
        const int width = offset < all.size() ? metrics.horizontalAdvance(all.at(offset)) : 0;
        const QRect local(x, contents.top() + (contents.height() - metrics.height()) / 2, width, metrics.height());
        return QRect(Edit()->mapToGlobal(local.topLeft()), local.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        return Edit()->cursorPositionAt(Edit()->mapFromGlobal(point));
    }
    void scrollToSubstring(int startIndex, int) override { setCursorPosition(startIndex); }
    QString attributes(int, int* startOffset, int* endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

    // --- Editing (never on a read-only box) ----------------------------------

    void deleteText(int startOffset, int endOffset) override
    {
        if (InText(startOffset) && InText(endOffset) && startOffset <= endOffset)
            Write(Edit()->text().remove(startOffset, endOffset - startOffset));
    }
    void insertText(int offset, const QString& text) override
    {
        if (InText(offset))
            Write(Edit()->text().insert(offset, text));
    }
    void replaceText(int startOffset, int endOffset, const QString& text) override
    {
        if (InText(startOffset) && InText(endOffset) && startOffset <= endOffset)
            Write(Edit()->text().replace(startOffset, endOffset - startOffset, text));
    }

private:
    QLineEdit* Edit() const { return static_cast<QLineEdit*>(widget()); }
    bool InText(int offset) const { return offset >= 0 && offset <= Edit()->text().size(); }

    // Every write from outside comes here: refused on a read-only box, and
    // taken only when the box's own rules (its validator, its length) take it.
    void Write(QString text)
    {
        QLineEdit* pEdit = Edit();
        if (pEdit->isReadOnly() || !pEdit->isEnabled() || text.size() > pEdit->maxLength())
            return;
        if (const QValidator* pValidator = pEdit->validator()) {
            int pos = 0;
            if (pValidator->validate(text, pos) != QValidator::Acceptable)
                return;
        }
        pEdit->setText(text);
    }
};

QAccessibleInterface* EditFactory(const QString& className, QObject* pObject)
{
    // The window system's edit control, not a line edit inside another widget.
    if (className == QLatin1String("QLineEdit")) {
        if (auto* pEdit = qobject_cast<QLineEdit*>(pObject))
            return new AccessibleEdit(pEdit);
    }
    return nullptr;
}

}  // namespace

void InstallEditAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(EditFactory);
        return true;
    }();
    (void)installed;
}

}  // namespace qtwin
