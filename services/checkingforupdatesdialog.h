#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class CheckingForUpdatesDialog;
}

// The progress of a check the user asked for: a busy page while the update
// server is asked, then "up to date" or the error page.
class CheckingForUpdatesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CheckingForUpdatesDialog(QWidget *parent = nullptr);
    ~CheckingForUpdatesDialog() override;

    void showCheckingPage();
    void showUpToDatePage();
    void showErrorPage();
    // The page shown: "page_checking", "page_up_to_date" or "page_error".
    QString currentPage() const;

private:
    std::unique_ptr<Ui::CheckingForUpdatesDialog> ui;
};
