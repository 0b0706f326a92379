// The reference for the tool's start-up: the same dialog written directly in
// Qt Widgets, as a Qt developer would write it with no framework and no
// dialog template: the same caption, font, size, icon and controls (labels,
// read-only number boxes with step arrows beside them, OK and Refresh), with
// the start-up probe of bench/first_paint.h. bench_startup measures it in
// the same run as the tool; the difference is what the tool's framework,
// back end and template cost.
#include "bench/first_paint.h"

#include <QDialog>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyleOption>

namespace {

// Two step arrows, painted with the style's spin-box primitives.
class StepArrows : public QWidget
{
public:
    explicit StepArrows(QWidget* parent) : QWidget(parent) { setFixedSize(17, 21); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const int half = height() / 2;
        const QRect halves[] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
        for (int i = 0; i < 2; ++i) {
            QStyleOption opt;
            opt.initFrom(this);
            opt.rect = halves[i];
            opt.state |= QStyle::State_Raised;
            style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &opt, &painter, this);
            opt.rect.adjust(2, 1, -2, -1);
            style()->drawPrimitive(i == 0 ? QStyle::PE_IndicatorSpinUp : QStyle::PE_IndicatorSpinDown, &opt,
                                   &painter, this);
        }
    }
};

QLineEdit* NumberBox(const QString& text, QWidget* parent)
{
    auto* box = new QLineEdit(text, parent);
    box->setReadOnly(true);
    box->setFixedWidth(60);
    QPalette palette = box->palette();
    palette.setBrush(QPalette::Base, palette.brush(QPalette::Window));
    box->setPalette(palette);
    return box;
}

}  // namespace

int main(int argc, char* argv[])
{
    bench::ProbedApplication application(argc, argv);

    QDialog dialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                                | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint
                                | Qt::MSWindowsFixedSizeDialogHint);
    dialog.setWindowTitle(QString::fromUtf8("Tavrik f\u00fcr Siemens-DVB v1.0"));
    dialog.setWindowIcon(QIcon(QStringLiteral(":/tavrik.ico")));
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    dialog.setFont(font);
    dialog.setFixedSize(272, 150);

    auto* grid = new QGridLayout(&dialog);
    const char* const labels[] = {"Frequency:", "Video PID:", "Audio PID:", "Symbolrate:"};
    const char* const values[] = {"394000", "1001", "1002", "6875"};
    for (int row = 0; row < 4; ++row) {
        grid->addWidget(new QLabel(QString::fromLatin1(labels[row]), &dialog), row, 0);
        grid->addWidget(NumberBox(QString::fromLatin1(values[row]), &dialog), row, 1);
        if (row < 3)
            grid->addWidget(new StepArrows(&dialog), row, 2);
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    grid->addWidget(ok, 0, 3);
    grid->addWidget(new QPushButton(QStringLiteral("Refresh"), &dialog), 2, 3);
    grid->addWidget(new QLabel(QStringLiteral("Frequency in kHz, symbol rate in kSym/s"), &dialog), 4, 0, 1, 4,
                    Qt::AlignHCenter);

    dialog.exec();
    return 0;
}
