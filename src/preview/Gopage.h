#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TGoPageForm;
}

// The go-to-page dialog: a page number between 1 and the maximum its caller sets, OK
// (the default button, focused on opening) or "Storno" (also Escape). Its result is the
// dialog's result; it has no handlers of its own.
class TGoPageForm : public QDialog
{
public:
    explicit TGoPageForm(QWidget* owner = nullptr);
    ~TGoPageForm() override;

    Ui::TGoPageForm& controls() { return *ui; }

private:
    std::unique_ptr<Ui::TGoPageForm> ui;
};
