#pragma once

#include "server/tcpservice.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The update check: a client sends "<version>|<platform digest>|<installation
// digest>" on one line and gets "UP_TO_DATE", "ERROR" for a malformed request,
// or the offer file's text when its version is not older than the offer.
//
// The offer file is plain text:
//   line 1      the version on offer, e.g. "0.3"
//   line 2      the download address
//   lines 3...  release notes (HTML), at least one line
class UpdateService : public TcpService
{
    Q_OBJECT

public:
    // Offers travel in one packet's worth of reading on the client side; keep
    // them small.
    static constexpr int maxOfferSize = 60 * 1024;

    explicit UpdateService(const ServerLimits &limits, QObject *parent = nullptr);

    // The offer as sent (line ends as line feeds, one line feed at the end), or
    // nothing with the reason in error.
    static std::optional<QByteArray> parseOffer(const QByteArray &text, QString *error);
    // Replaces the offer; an empty path means no offer (always "UP_TO_DATE").
    bool loadOffer(const QString &path, QString *error);

    // The answer for one request line (line end removed), line end included.
    QByteArray answerFor(const QByteArray &requestLine) const;

    // Whether a client running clientVersion should take offeredVersion.
    static bool isOlder(const QString &clientVersion, const QString &offeredVersion);

protected:
    ServiceConnection *createConnection(ConnectionSocket *socket) override;

private:
    QByteArray m_offer;
    QString m_offeredVersion;
};
