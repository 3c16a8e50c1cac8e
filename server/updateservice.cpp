#include "server/updateservice.h"

#include "server/hashlist.h"
#include "server/updateconnection.h"

#include <QFile>
#include <QList>
#include <QVersionNumber>

namespace {

// A version number with nothing after it ("0.3", "1.2.10"); else null.
QVersionNumber strictVersion(const QString &text)
{
    qsizetype suffix = 0;
    const QVersionNumber version = QVersionNumber::fromString(text, &suffix);
    return suffix == text.size() ? version : QVersionNumber();
}

} // namespace

UpdateService::UpdateService(const ServerLimits &limits, QObject *parent)
    : TcpService(QStringLiteral("update"), limits, parent)
{
}

std::optional<QByteArray> UpdateService::parseOffer(const QByteArray &text, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (text.contains('\0'))
        return fail(QStringLiteral("the offer is not text"));
    QByteArray offer = text;
    offer.replace("\r\n", "\n");
    while (offer.endsWith('\n'))
        offer.chop(1);
    const QList<QByteArray> lines = offer.split('\n');
    if (lines.size() < 3)
        return fail(QStringLiteral("the offer needs a version line, an address line and "
                                   "release notes"));
    if (lines.at(0).trimmed().isEmpty() || lines.at(1).trimmed().isEmpty())
        return fail(QStringLiteral("the offer's version or address line is empty"));
    // The client takes this prefix for a greeting and waits for more.
    if (offer.startsWith("Got a connection."))
        return fail(QStringLiteral("the offer must not start with \"Got a connection.\""));
    offer.append('\n');
    if (offer.size() > maxOfferSize)
        return fail(QStringLiteral("the offer is larger than %1 bytes").arg(maxOfferSize));
    return offer;
}

bool UpdateService::loadOffer(const QString &path, QString *error)
{
    if (path.isEmpty()) {
        m_offer.clear();
        m_offeredVersion.clear();
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    // One byte more than allowed is enough to tell that it is too large.
    const QByteArray text = file.read(maxOfferSize + 1);
    QString why;
    const std::optional<QByteArray> offer = parseOffer(text, &why);
    if (!offer) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    m_offer = *offer;
    m_offeredVersion = QString::fromUtf8(m_offer.left(m_offer.indexOf('\n'))).trimmed();
    return true;
}

bool UpdateService::isOlder(const QString &clientVersion, const QString &offeredVersion)
{
    if (clientVersion == offeredVersion)
        return false;
    const QVersionNumber client = strictVersion(clientVersion);
    const QVersionNumber offered = strictVersion(offeredVersion);
    if (!client.isNull() && !offered.isNull())
        return client < offered;
    // A version that is not a plain number ("beta 2") is taken to be older than
    // any other.
    return true;
}

QByteArray UpdateService::answerFor(const QByteArray &requestLine) const
{
    // The version may hold anything; the two digests at the end have a fixed form.
    const qsizetype installationBar = requestLine.lastIndexOf('|');
    const qsizetype platformBar =
        installationBar > 0 ? requestLine.lastIndexOf('|', installationBar - 1) : -1;
    if (platformBar <= 0)
        return QByteArrayLiteral("ERROR\n");
    const QByteArray version = requestLine.left(platformBar);
    const QByteArray platform = requestLine.mid(platformBar + 1, installationBar - platformBar - 1);
    const QByteArray installation = requestLine.mid(installationBar + 1);
    if (!Md5Key::fromHex(platform) || !Md5Key::fromHex(installation))
        return QByteArrayLiteral("ERROR\n");
    if (m_offer.isEmpty() || !isOlder(QString::fromUtf8(version).trimmed(), m_offeredVersion))
        return QByteArrayLiteral("UP_TO_DATE\n");
    return m_offer;
}

ServiceConnection *UpdateService::createConnection(ConnectionSocket *socket)
{
    return new UpdateConnection(socket, limits(), this);
}
