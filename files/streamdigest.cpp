#include "files/streamdigest.h"

#include <QCryptographicHash>
#include <QDebug>

#include <openssl/evp.h>

#include <optional>

namespace {
using MdPointer = std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)>;

// Fetched once: looking an algorithm up by name takes locks and a search of
// the providers, which would cost more than digesting a small file. Null when
// the configured providers do not offer it (a FIPS-only set-up has no MD5).
const EVP_MD *fetched(StreamDigest::Algorithm algorithm)
{
    static const MdPointer md5(EVP_MD_fetch(nullptr, "MD5", nullptr), &EVP_MD_free);
    static const MdPointer sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr), &EVP_MD_free);
    return algorithm == StreamDigest::Md5 ? md5.get() : sha1.get();
}
} // namespace

struct StreamDigest::Context
{
    const EVP_MD *md = nullptr;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{nullptr, &EVP_MD_CTX_free};
    // Where libcrypto cannot serve the algorithm, Qt's own code does.
    std::optional<QCryptographicHash> fallback;
    bool failed = false;
};

StreamDigest::StreamDigest(Algorithm algorithm) : m_context(std::make_unique<Context>())
{
    m_context->md = fetched(algorithm);
    if (m_context->md)
        m_context->ctx.reset(EVP_MD_CTX_new());
    if (!m_context->ctx || EVP_DigestInit_ex2(m_context->ctx.get(), m_context->md, nullptr) != 1) {
        qWarning().noquote() << QStringLiteral(
                                    "StreamDigest: libcrypto offers no %1 digest; using Qt's")
                                    .arg(algorithm == Md5 ? QStringLiteral("MD5")
                                                          : QStringLiteral("SHA-1"));
        m_context->ctx.reset();
        m_context->fallback.emplace(algorithm == Md5 ? QCryptographicHash::Md5
                                                     : QCryptographicHash::Sha1);
    }
}

StreamDigest::~StreamDigest() = default;

void StreamDigest::reset()
{
    if (m_context->fallback) {
        m_context->fallback->reset();
        return;
    }
    // Starting again with the digest the context already holds reuses its state.
    m_context->failed = EVP_DigestInit_ex2(m_context->ctx.get(), m_context->md, nullptr) != 1;
}

void StreamDigest::addData(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    if (m_context->fallback)
        m_context->fallback->addData(QByteArrayView(data, size));
    else if (EVP_DigestUpdate(m_context->ctx.get(), data, size_t(size)) != 1)
        m_context->failed = true;
}

QByteArray StreamDigest::result()
{
    if (m_context->fallback)
        return m_context->fallback->result();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context->ctx.get(), digest, &length) != 1 || m_context->failed)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}
