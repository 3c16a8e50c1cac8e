#pragma once

#include <QByteArray>
#include <QDialog>
#include <QUrl>

#include <memory>

namespace Ui {
class UpdateDialog;
}

// Offers a newer version: its number, release notes from the update server and
// a button that opens the download page in the browser.
class UpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdateDialog(QWidget *parent = nullptr);
    ~UpdateDialog() override;

    // Fills the dialog from an offer: the version, the download address and the
    // release notes (HTML), one per line; the notes take the rest. An offer of
    // fewer than three lines changes nothing; an address other than http or https
    // keeps the default download page.
    void loadPayload(const QByteArray &payload);

    QUrl downloadAddress() const { return m_downloadAddress; }

protected Q_SLOTS:
    void userDownload();

private:
    std::unique_ptr<Ui::UpdateDialog> ui;
    QUrl m_downloadAddress;
};
