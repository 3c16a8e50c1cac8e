#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// One MD5 or SHA-1 digest of a stream of bytes, computed with OpenSSL's
// libcrypto: its SHA-1 uses the CPU's SHA instructions where there are some
// (about twice as fast as QCryptographicHash), its MD5 is hand-written
// assembly. The result equals QCryptographicHash's for the same bytes; where
// libcrypto does not offer the algorithm (a FIPS-only configuration has no
// MD5), QCryptographicHash computes it.
class StreamDigest
{
public:
    enum Algorithm { Md5, Sha1 };

    explicit StreamDigest(Algorithm algorithm);
    ~StreamDigest();
    StreamDigest(const StreamDigest &) = delete;
    StreamDigest &operator=(const StreamDigest &) = delete;

    // Starts a new stream; cheap enough to call once per file.
    void reset();
    void addData(const char *data, qint64 size);
    // The digest of the bytes added since the last reset() (raw, 16 or 20
    // bytes); reset() must come before the next addData(). Empty when
    // libcrypto failed: no digest rather than a wrong one.
    QByteArray result();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
