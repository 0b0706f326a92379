#include "platform/ui/qt/updown_control.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

namespace qtwin {

UpDownControl::UpDownControl(HWND hWnd, HWND hWndNotify, int id, DWORD style, QWidget* parent)
    : QWidget(parent), m_hWnd(hWnd), m_hWndNotify(hWndNotify), m_id(id), m_style(style)
{
    // A tab stop if the template makes it one; either way a click gives it
    // the focus, so that the arrow keys step it.
    setFocusPolicy((style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
    connect(&m_repeat, &QTimer::timeout, this, &UpDownControl::OnAutoRepeat);
}

QSize UpDownControl::sizeHint() const
{
    return {16, 22};
}

bool UpDownControl::InBounds(int pos) const
{
    return m_max >= m_min ? (pos >= m_min && pos <= m_max) : (pos >= m_max && pos <= m_min);
}

LRESULT UpDownControl::HandleMessage(UINT message, WPARAM, LPARAM lParam, bool* pHandled)
{
    *pHandled = true;
    switch (message) {
    case UDM_SETRANGE:
        m_max = static_cast<short>(LOWORD(lParam));
        m_min = static_cast<short>(HIWORD(lParam));
        update();
        return 0;
    case UDM_GETRANGE:
        return MAKELONG(static_cast<short>(m_max), static_cast<short>(m_min));
    case UDM_SETPOS: {
        // An out-of-range position is clamped to the range.
        int pos = static_cast<short>(LOWORD(lParam));
        if (!InBounds(pos))
            pos = std::clamp(pos, std::min(m_min, m_max), std::max(m_min, m_max));
        const int previous = m_pos;
        MoveTo(pos);
        return previous;
    }
    case UDM_GETPOS:
        return MAKELONG(static_cast<short>(m_pos), 0);
    default:
        *pHandled = false;
        return 0;
    }
}

void UpDownControl::Step(Half half)
{
    if (half == Half::None)
        return;
    // Up increases the position, unless the range runs backwards.
    int delta = (half == Half::Up) ? 1 : -1;
    if (m_max < m_min)
        delta = -delta;
    StepBy(delta);
}

void UpDownControl::StepTo(int pos)
{
    pos = std::clamp(pos, std::min(m_min, m_max), std::max(m_min, m_max));
    if (pos != m_pos)
        StepBy(pos - m_pos);
}

void UpDownControl::StepBy(int delta)
{
    if (!isEnabled())
        return;
    NMUPDOWN nm{};
    nm.hdr.hwndFrom = m_hWnd;
    nm.hdr.idFrom = static_cast<UINT_PTR>(m_id);
    nm.hdr.code = UDN_DELTAPOS;
    nm.iPos = m_pos;
    nm.iDelta = delta;
    if (SendMessageA(m_hWndNotify, WM_NOTIFY, static_cast<WPARAM>(m_id), reinterpret_cast<LPARAM>(&nm)) != 0)
        return;   // vetoed

    int pos = m_pos + nm.iDelta;
    if (nm.iDelta == 0)
        return;
    if (!InBounds(pos)) {
        if (!(m_style & UDS_WRAP))
            return;   // at the end of the range: the position stays
        const int lo = std::min(m_min, m_max);
        const int hi = std::max(m_min, m_max);
        pos = pos > hi ? lo : hi;
    }
    MoveTo(pos);
}

void UpDownControl::MoveTo(int pos)
{
    if (pos == m_pos)
        return;
    m_pos = pos;
    // Screen readers announce the new value.
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, m_pos);
        QAccessible::updateAccessibility(&event);
    }
}

UpDownControl::Half UpDownControl::HalfAt(const QPoint& pt) const
{
    if (!rect().contains(pt))
        return Half::None;
    return pt.y() < height() / 2 ? Half::Up : Half::Down;
}

QRect UpDownControl::HalfRect(Half half) const
{
    const int mid = height() / 2;
    return half == Half::Up ? QRect(0, 0, width(), mid) : QRect(0, mid, width(), height() - mid);
}

void UpDownControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    for (Half half : {Half::Up, Half::Down}) {
        QStyleOption opt;
        opt.initFrom(this);
        opt.rect = HalfRect(half);
        const bool sunken = m_pressed == half && m_pressedInside;
        opt.state |= sunken ? QStyle::State_Sunken : QStyle::State_Raised;
        if (!sunken)
            opt.state &= ~QStyle::State_Sunken;
        if (!(opt.state & QStyle::State_MouseOver) || HalfAt(mapFromGlobal(QCursor::pos())) != half)
            opt.state &= ~QStyle::State_MouseOver;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &opt, &painter, this);
        opt.rect.adjust(2, 1, -2, -1);
        style()->drawPrimitive(half == Half::Up ? QStyle::PE_IndicatorSpinUp : QStyle::PE_IndicatorSpinDown,
                               &opt, &painter, this);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(1, 1, -1, -1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

void UpDownControl::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressed = HalfAt(event->position().toPoint());
    m_pressedInside = m_pressed != Half::None;
    update();
    if (m_pressed == Half::None)
        return;
    // Holding the button repeats the step, after the style's delay.
    m_repeat.start(style()->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatThreshold, nullptr, this));
    Step(m_pressed);
}

void UpDownControl::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pressed == Half::None)
        return;
    const bool inside = HalfAt(event->position().toPoint()) == m_pressed;
    if (inside != m_pressedInside) {
        m_pressedInside = inside;
        update();
    }
}

void UpDownControl::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_repeat.stop();
    m_pressed = Half::None;
    m_pressedInside = false;
    update();
}

void UpDownControl::OnAutoRepeat()
{
    m_repeat.setInterval(style()->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatRate, nullptr, this));
    if (m_pressed != Half::None && m_pressedInside)
        Step(m_pressed);
}

void UpDownControl::keyPressEvent(QKeyEvent* event)
{
    if ((m_style & UDS_ARROWKEYS) && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
        Step(event->key() == Qt::Key_Up ? Half::Up : Half::Down);
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpDownControl::focusInEvent(QFocusEvent* event)
{
    update();
    QWidget::focusInEvent(event);
}

void UpDownControl::focusOutEvent(QFocusEvent* event)
{
    m_repeat.stop();
    m_pressed = Half::None;
    update();
    QWidget::focusOutEvent(event);
}

}  // namespace qtwin
