#include "platform/ui/qt/updown_accessible.h"

#include "platform/ui/qt/updown_control.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include <algorithm>
#include <cmath>

namespace qtwin {
namespace {

class AccessibleUpDown : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit AccessibleUpDown(UpDownControl* pControl) : QAccessibleWidget(pControl, QAccessible::SpinBox) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The value is the position. Setting it moves the control the way a
    // step does: the dialog is notified first (and may veto), so it goes on
    // to the card exactly as a click would.
    QVariant currentValue() const override { return Control()->Position(); }
    void setCurrentValue(const QVariant& value) override
    {
        bool bOk = false;
        const double wanted = value.toDouble(&bOk);
        if (!bOk || std::isnan(wanted))
            return;
        const double lo = std::min(Control()->Minimum(), Control()->Maximum());
        const double hi = std::max(Control()->Minimum(), Control()->Maximum());
        Control()->StepTo(static_cast<int>(std::lround(std::clamp(wanted, lo, hi))));
    }
    QVariant maximumValue() const override { return std::max(Control()->Minimum(), Control()->Maximum()); }
    QVariant minimumValue() const override { return std::min(Control()->Minimum(), Control()->Maximum()); }
    QVariant minimumStepSize() const override { return 1; }

    QStringList actionNames() const override
    {
        return QStringList{increaseAction(), decreaseAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& actionName) override
    {
        // Up raises the position unless the range runs backwards.
        const bool bForward = Control()->Maximum() >= Control()->Minimum();
        if (actionName == increaseAction())
            Control()->Step(bForward ? UpDownControl::Half::Up : UpDownControl::Half::Down);
        else if (actionName == decreaseAction())
            Control()->Step(bForward ? UpDownControl::Half::Down : UpDownControl::Half::Up);
        else
            QAccessibleWidget::doAction(actionName);
    }

    QStringList keyBindingsForAction(const QString& actionName) const override
    {
        if (Control()->HasArrowKeys()) {
            const bool bForward = Control()->Maximum() >= Control()->Minimum();
            if (actionName == increaseAction())
                return {bForward ? QStringLiteral("Up") : QStringLiteral("Down")};
            if (actionName == decreaseAction())
                return {bForward ? QStringLiteral("Down") : QStringLiteral("Up")};
        }
        return QAccessibleWidget::keyBindingsForAction(actionName);
    }

private:
    UpDownControl* Control() const { return static_cast<UpDownControl*>(widget()); }
};

QAccessibleInterface* UpDownFactory(const QString&, QObject* pObject)
{
    if (auto* pControl = qobject_cast<UpDownControl*>(pObject))
        return new AccessibleUpDown(pControl);
    return nullptr;
}

}  // namespace

void InstallUpDownAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(UpDownFactory);
        return true;
    }();
    (void)installed;
}

}  // namespace qtwin
