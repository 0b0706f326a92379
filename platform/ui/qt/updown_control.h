// The up-down control ("msctls_updown32") for the Qt back end: two arrow
// halves, a range and a position, no buddy. Every step, by mouse click, mouse
// hold or arrow key, first sends UDN_DELTAPOS to the parent; a non-zero
// answer vetoes the step, otherwise the position moves by the answer's delta.
#pragma once

#include "platform/ui/qt/winapi_qt.h"

#include <QTimer>
#include <QWidget>

namespace qtwin {

class UpDownControl : public QWidget
{
    Q_OBJECT

public:
    UpDownControl(HWND hWnd, HWND hWndNotify, int id, DWORD style, QWidget* parent);

    // The control's messages (UDM_*).
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* pHandled);

    int Position() const { return m_pos; }
    int Minimum() const { return m_min; }
    int Maximum() const { return m_max; }
    bool HasArrowKeys() const { return (m_style & UDS_ARROWKEYS) != 0; }

    enum class Half { None, Up, Down };
    // One step as a click on a half makes it (also for assistive tools).
    void Step(Half half);
    // A move to a position (clamped to the range) the way a step makes it:
    // one notice with the whole difference as its delta, then the move. No
    // notice when the position is already there. For assistive tools that
    // set the value.
    void StepTo(int pos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    QSize sizeHint() const override;

private:
    Half HalfAt(const QPoint& pt) const;
    QRect HalfRect(Half half) const;
    bool InBounds(int pos) const;
    void StepBy(int delta);
    void MoveTo(int pos);
    void OnAutoRepeat();

    HWND m_hWnd;
    HWND m_hWndNotify;
    int m_id;
    DWORD m_style;
    int m_min = 100;   // the window system's default range runs from 100 down to 0
    int m_max = 0;
    int m_pos = 0;
    Half m_pressed = Half::None;
    bool m_pressedInside = false;
    QTimer m_repeat;
};

}  // namespace qtwin
