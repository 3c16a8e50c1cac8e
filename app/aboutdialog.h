#pragma once

#include <QDialog>

// Name, version, the maker's notice with the licence, where feedback goes, and
// the credits: the icons and images are WinOrvex's own.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);
};
