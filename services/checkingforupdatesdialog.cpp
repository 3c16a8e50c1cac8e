#include "services/checkingforupdatesdialog.h"

#include "ui_checkingforupdatesdialog.h"

CheckingForUpdatesDialog::CheckingForUpdatesDialog(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::CheckingForUpdatesDialog>())
{
    ui->setupUi(this);
}

CheckingForUpdatesDialog::~CheckingForUpdatesDialog() = default;

void CheckingForUpdatesDialog::showCheckingPage()
{
    ui->stackedWidget->setCurrentWidget(ui->page_checking);
}

void CheckingForUpdatesDialog::showUpToDatePage()
{
    ui->stackedWidget->setCurrentWidget(ui->page_up_to_date);
}

void CheckingForUpdatesDialog::showErrorPage()
{
    ui->stackedWidget->setCurrentWidget(ui->page_error);
}

QString CheckingForUpdatesDialog::currentPage() const
{
    return ui->stackedWidget->currentWidget()->objectName();
}
