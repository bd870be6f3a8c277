#include "Gopage.h"
#include "ui_Gopage.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

TGoPageForm::TGoPageForm(QWidget* owner)
    : QDialog(owner)
    , ui(std::make_unique<Ui::TGoPageForm>())
{
    ui->setupUi(this);
    // A dialog border: a title and a close box, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    ui->OKBtn->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ui->CancelBtn->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    ui->OKBtn->setFocus();
    // Centred on the screen, not on the window that opens it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

TGoPageForm::~TGoPageForm() = default;
