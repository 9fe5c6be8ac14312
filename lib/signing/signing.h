#pragma once

#include <QByteArray>
#include <QString>

// The lab's signature on a Digital Calibration Certificate: an enveloped XML signature
// (W3C XML Signature) appended as the last child of the document's root, over the whole
// document (Reference URI="", the enveloped-signature transform, exclusive canonicalisation),
// with a SHA-256 digest, RSA-SHA256 or ECDSA-SHA256 by the key's kind, and the signer's
// certificate in its KeyInfo, so that anyone holding the lab's CA certificate can check it
// with any XML signature tool. A signed document holds exactly one signature.
namespace signing {

// A certificate with its record embedded stays far below this; anything larger is refused
// rather than parsed, which bounds the memory a mistaken file can take (records have the
// same limit).
constexpr qint64 MaxDocumentBytes = 512 * 1024 * 1024;

enum class Error {
    None,
    Unavailable,          // this build has no XML security library (the Windows build)
    TooLarge,             // the document is larger than MaxDocumentBytes
    NotXml,               // the bytes are not a well-formed XML document
    KeyUnreadable,        // the private key could not be read (missing, not PEM, encrypted)
    CertificateUnreadable,// the signer's certificate could not be read
    KeyNotCertificate,    // the key is not the one the certificate certifies
    AlreadySigned,        // sign(): the document already holds a signature
    NoSignature,          // verify(): the document holds no signature
    SeveralSignatures,    // verify(): more than one signature; which one counts is not clear
    NotWholeDocument,     // the signature does not cover the whole document as one reference
    ContentChanged,       // a digest does not match: the signed content changed
    SignatureMismatch,    // the signature value does not match the key in the certificate
    TrustUnreadable,      // the trusted certificate could not be read
    NotIssuedByTrusted,   // the signer's certificate was not issued by the trusted certificate
    Failed,               // the library failed in another way; the message says how
};

struct Signed
{
    QByteArray document; // the signed document; empty unless error is None
    Error error = Error::Failed;
    QString message;     // for people; empty when error is None
};

struct Verification
{
    Error error = Error::Failed;
    QString message;   // why it failed, for people; empty when valid
    QString signer;    // the signer certificate's subject ("CN=...,O=..."), when known
    QString issuer;    // and its issuer
    bool trusted = false; // the signer's certificate was checked against a trusted certificate
    bool valid() const { return error == Error::None; }
};

// Whether this build can sign and verify at all.
bool available();

// Signs `xml` with the PEM private key (RSA or EC, unencrypted) at `keyPath` and puts the PEM
// certificate at `certificatePath` in the signature. A document that already holds a
// signature is refused: a second enveloped signature over the whole document would cover
// the first one and so break it. The result is checked against the certificate before it is
// returned, so a key that does not belong to the certificate is refused too.
Signed sign(const QByteArray &xml, const QString &keyPath, const QString &certificatePath);

// Checks the one signature in `xml`. With `trustedPath` (a PEM CA certificate), the signer's
// certificate must also have been issued by it; without, the signature is checked against
// the certificate it carries only, and `trusted` stays false.
Verification verify(const QByteArray &xml, const QString &trustedPath = QString());

// The sentence for a failure, for people; empty for None.
QString message(Error error);

} // namespace signing
