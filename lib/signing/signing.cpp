#include "signing.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <memory>

namespace signing {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("signing", text);
}

// The library's own error reports, kept per thread so that a failure's message can say what
// the library found first (the cause; the reports after it are its callers giving up); its
// default would print them all on standard error.
thread_local QString firstLibraryError;

void collectLibraryError(const char *, int, const char *, const char *, const char *errorSubject, int,
                         const char *msg)
{
    if (!firstLibraryError.isEmpty())
        return;
    QString text = QString::fromUtf8(msg ? msg : "").trimmed();
    // A certificate check's report ends with OpenSSL's reason, which is the part for people.
    const int reason = text.lastIndexOf(QLatin1String("msg="));
    if (reason >= 0)
        text = text.mid(reason + 4);
    else if (errorSubject && *errorSubject && qstrcmp(errorSubject, "unknown") != 0)
        text = QStringLiteral("%1: %2").arg(QString::fromUtf8(errorSubject), text);
    firstLibraryError = text;
}

// Takes the cause of the latest failure and clears it for the next operation.
QString takeLibraryError()
{
    QString text;
    std::swap(text, firstLibraryError);
    return text;
}

// libxml2 and xmlsec keep global state: they are set up once, by the first caller on any
// thread (a function-local static is initialised exactly once even under concurrent calls),
// and shut down when the program ends.
class Library
{
public:
    Library()
    {
        xmlInitParser();
        m_ready = xmlSecInit() >= 0;
        if (!m_ready)
            return;
        m_ready = xmlSecCheckVersion() == 1 && xmlSecCryptoAppInit(nullptr) >= 0 && xmlSecCryptoInit() >= 0;
        // After the crypto engine's start, which installs its own.
        xmlSecErrorsSetCallback(collectLibraryError);
    }
    ~Library()
    {
        if (m_ready) {
            xmlSecCryptoShutdown();
            xmlSecCryptoAppShutdown();
        }
        xmlSecShutdown();
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    bool ready() const { return m_ready; }

private:
    bool m_ready = false;
};

bool ready()
{
    static const Library library;
    return library.ready();
}

struct FreeDoc
{
    void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using Document = std::unique_ptr<xmlDoc, FreeDoc>;

struct FreeParser
{
    void operator()(xmlParserCtxt *context) const { xmlFreeParserCtxt(context); }
};

struct FreeSignatureContext
{
    void operator()(xmlSecDSigCtx *context) const { xmlSecDSigCtxDestroy(context); }
};
using SignatureContext = std::unique_ptr<xmlSecDSigCtx, FreeSignatureContext>;

struct FreeKeysManager
{
    void operator()(xmlSecKeysMngr *manager) const { xmlSecKeysMngrDestroy(manager); }
};

struct FreeKey
{
    void operator()(xmlSecKey *key) const { xmlSecKeyDestroy(key); }
};
using Key = std::unique_ptr<xmlSecKey, FreeKey>;

struct FreeStore
{
    void operator()(X509_STORE *store) const { X509_STORE_free(store); }
};

struct FreeStoreContext
{
    void operator()(X509_STORE_CTX *context) const { X509_STORE_CTX_free(context); }
};

// The stack only; its certificates belong to the signature's key.
struct FreeCertificates
{
    void operator()(STACK_OF(X509) *certificates) const { sk_X509_free(certificates); }
};

struct FreeCertificate
{
    void operator()(X509 *certificate) const { X509_free(certificate); }
};

struct FreeBio
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};

QByteArray fileName(const QString &path)
{
    return QFile::encodeName(path);
}

// Parses without the network and without loading external DTDs; the parser's own limits
// (depth, entity expansion, text node size) stay on.
Document parse(const QByteArray &xml, QString *error)
{
    std::unique_ptr<xmlParserCtxt, FreeParser> context(xmlNewParserCtxt());
    if (!context) {
        *error = tr("out of memory");
        return nullptr;
    }
    Document doc(xmlCtxtReadMemory(context.get(), xml.constData(), int(xml.size()), "certificate.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc || !xmlDocGetRootElement(doc.get())) {
        const xmlError *last = xmlCtxtGetLastError(context.get());
        *error = last && last->message ? tr("not well-formed XML: line %1: %2")
                                             .arg(last->line)
                                             .arg(QString::fromUtf8(last->message).trimmed())
                                       : tr("not an XML document");
        return nullptr;
    }
    return doc;
}

// Every ds:Signature element in the tree under `node`.
void collectSignatures(xmlNode *node, QVector<xmlNode *> *found)
{
    for (xmlNode *child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (xmlSecCheckNodeName(child, xmlSecNodeSignature, xmlSecDSigNs))
            found->append(child);
        else
            collectSignatures(child, found);
    }
}

// "CN=Test Lab Signer, O=Example Lab": in the certificate's order, UTF-8 kept as it is.
constexpr unsigned long NameFlags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN;

QString nameText(X509_NAME *name)
{
    std::unique_ptr<BIO, FreeBio> bio(BIO_new(BIO_s_mem()));
    if (!bio || !name || X509_NAME_print_ex(bio.get(), name, 0, NameFlags) < 0)
        return QString();
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, int(length));
}

// The certificate of the key the signature was checked with.
X509 *signerCertificate(const xmlSecDSigCtx &context)
{
    if (!context.signKey)
        return nullptr;
    xmlSecKeyDataPtr data = xmlSecKeyGetData(context.signKey, xmlSecOpenSSLKeyDataX509Id);
    return data ? xmlSecOpenSSLKeyDataX509GetKeyCert(data) : nullptr;
}

// Only what a whole-document signature needs: the empty reference, the enveloped transform,
// canonicalisation and SHA-2 digests, RSA and ECDSA with SHA-2. A document may name other
// transforms (XSLT, XPath, remote URIs), and these are refused rather than run.
bool restrictTransforms(xmlSecDSigCtx *context)
{
    context->enabledReferenceUris = xmlSecTransformUriTypeEmpty;
    const xmlSecTransformId canonical[] = {xmlSecTransformExclC14NId, xmlSecTransformExclC14NWithCommentsId,
                                           xmlSecTransformInclC14NId, xmlSecTransformInclC14NWithCommentsId};
    const xmlSecTransformId reference[] = {xmlSecTransformEnvelopedId, xmlSecTransformSha256Id,
                                           xmlSecTransformSha384Id, xmlSecTransformSha512Id};
    const xmlSecTransformId signature[] = {xmlSecTransformRsaSha256Id,   xmlSecTransformRsaSha384Id,
                                           xmlSecTransformRsaSha512Id,   xmlSecTransformEcdsaSha256Id,
                                           xmlSecTransformEcdsaSha384Id, xmlSecTransformEcdsaSha512Id};
    bool ok = true;
    for (xmlSecTransformId id : canonical) {
        ok = ok && xmlSecDSigCtxEnableReferenceTransform(context, id) >= 0
             && xmlSecDSigCtxEnableSignatureTransform(context, id) >= 0;
    }
    for (xmlSecTransformId id : reference)
        ok = ok && xmlSecDSigCtxEnableReferenceTransform(context, id) >= 0;
    for (xmlSecTransformId id : signature)
        ok = ok && xmlSecDSigCtxEnableSignatureTransform(context, id) >= 0;
    // The signer's key comes from its certificate, never from a bare key value or a
    // retrieval method pointing elsewhere.
    ok = ok && xmlSecPtrListAdd(&context->keyInfoReadCtx.enabledKeyData, (void *)xmlSecKeyDataX509Id) >= 0;
    return ok;
}

// Whether the signature's SignedInfo holds exactly one Reference, to the whole document.
bool coversWholeDocument(xmlNode *signature)
{
    xmlNode *signedInfo = xmlSecFindChild(signature, xmlSecNodeSignedInfo, xmlSecDSigNs);
    if (!signedInfo)
        return false;
    int references = 0;
    bool whole = false;
    for (xmlNode *child = signedInfo->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || !xmlSecCheckNodeName(child, xmlSecNodeReference, xmlSecDSigNs))
            continue;
        ++references;
        xmlChar *uri = xmlGetProp(child, xmlSecAttrURI);
        whole = uri && *uri == '\0';
        xmlFree(uri);
    }
    return references == 1 && whole;
}

Verification failure(Error error, const QString &detail = QString())
{
    Verification result;
    result.error = error;
    result.message = detail.isEmpty() ? message(error) : QStringLiteral("%1 (%2)").arg(message(error), detail);
    return result;
}

Signed signingFailure(Error error, const QString &detail = QString())
{
    Signed result;
    result.error = error;
    result.message = detail.isEmpty() ? message(error) : QStringLiteral("%1 (%2)").arg(message(error), detail);
    return result;
}

struct Pass
{
    int outcome = -1; // the library's return value
    SignatureContext context;
};

// The keys manager the library reads a signature's certificates through: one that holds no
// keys, made once per thread, since it is not made to be shared. Making it loads the system's
// certificate authorities into its store (about 40 ms, hence once); that store is never
// consulted, since certificates are read without verification here.
xmlSecKeysMngr *keysManager()
{
    thread_local const std::unique_ptr<xmlSecKeysMngr, FreeKeysManager> manager = [] {
        std::unique_ptr<xmlSecKeysMngr, FreeKeysManager> made(xmlSecKeysMngrCreate());
        if (made && xmlSecCryptoAppDefaultKeysMngrInit(made.get()) < 0)
            made.reset();
        return made;
    }();
    return manager.get();
}

// The library's check of the signature against the certificate the document carries, taken
// as it is (the library's store of trusted certificates, which holds the system's
// authorities, is never consulted: trust is the lab's, checked in checkChain()).
Pass check(xmlNode *signature)
{
    Pass pass;
    if (!keysManager())
        return pass;
    pass.context.reset(xmlSecDSigCtxCreate(keysManager()));
    if (!pass.context || !restrictTransforms(pass.context.get()))
        return pass;
    pass.context->keyInfoReadCtx.flags |= XMLSEC_KEYINFO_FLAGS_X509DATA_DONT_VERIFY_CERTS;
    takeLibraryError();
    pass.outcome = xmlSecDSigCtxVerify(pass.context.get(), signature);
    return pass;
}

enum class Chain { Trusted, NotTrusted, TrustUnreadable };

// Whether `certificate` was issued by a certificate in the PEM file at `trustedPath` (through
// the other certificates the signature carries, if any), checked by OpenSSL against a store
// that holds those trusted certificates and nothing else.
Chain checkChain(const xmlSecDSigCtx &context, X509 *certificate, const QString &trustedPath, QString *problem)
{
    std::unique_ptr<X509_STORE, FreeStore> store(X509_STORE_new());
    X509_LOOKUP *lookup = store ? X509_STORE_add_lookup(store.get(), X509_LOOKUP_file()) : nullptr;
    if (!lookup || X509_LOOKUP_load_file(lookup, fileName(trustedPath).constData(), X509_FILETYPE_PEM) <= 0) {
        *problem = tr("no PEM certificate in '%1'").arg(trustedPath);
        return Chain::TrustUnreadable;
    }
    std::unique_ptr<STACK_OF(X509), FreeCertificates> carried(sk_X509_new_null());
    xmlSecKeyDataPtr data = xmlSecKeyGetData(context.signKey, xmlSecOpenSSLKeyDataX509Id);
    const xmlSecSize count = data ? xmlSecOpenSSLKeyDataX509GetCertsSize(data) : 0;
    for (xmlSecSize i = 0; carried && i < count; ++i) {
        X509 *other = xmlSecOpenSSLKeyDataX509GetCert(data, i);
        if (other && other != certificate)
            sk_X509_push(carried.get(), other);
    }
    std::unique_ptr<X509_STORE_CTX, FreeStoreContext> verifying(X509_STORE_CTX_new());
    if (!carried || !verifying || X509_STORE_CTX_init(verifying.get(), store.get(), certificate, carried.get()) != 1) {
        *problem = tr("out of memory");
        return Chain::NotTrusted;
    }
    if (X509_verify_cert(verifying.get()) == 1)
        return Chain::Trusted;
    *problem = QString::fromUtf8(X509_verify_cert_error_string(X509_STORE_CTX_get_error(verifying.get())));
    return Chain::NotTrusted;
}

bool referencesMatch(const xmlSecDSigCtx &context)
{
    auto *list = const_cast<xmlSecPtrList *>(&context.signedInfoReferences);
    const xmlSecSize count = xmlSecPtrListGetSize(list);
    for (xmlSecSize i = 0; i < count; ++i) {
        auto *reference = static_cast<xmlSecDSigReferenceCtx *>(xmlSecPtrListGetItem(list, i));
        if (!reference || reference->status != xmlSecDSigStatusSucceeded)
            return false;
    }
    return count > 0;
}

// Whether the first certificate in the PEM file at `path` certifies the public half of `key`:
// a signature by another key would be made without complaint, and fail every check after.
bool certifies(const QString &path, xmlSecKey *key)
{
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_file(fileName(path).constData(), "r"));
    std::unique_ptr<X509, FreeCertificate> certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                                           : nullptr);
    EVP_PKEY *own = xmlSecKeyGetValue(key) ? xmlSecOpenSSLEvpKeyDataGetEvp(xmlSecKeyGetValue(key)) : nullptr;
    return certificate && own && EVP_PKEY_eq(X509_get0_pubkey(certificate.get()), own) == 1;
}

bool readable(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

} // namespace

bool available()
{
    return ready();
}

QString message(Error error)
{
    switch (error) {
    case Error::None:
        return QString();
    case Error::Unavailable:
        return tr("this build cannot sign or verify: it was built without the XML security library");
    case Error::TooLarge:
        return tr("the document is larger than %1 MiB").arg(MaxDocumentBytes / (1024 * 1024));
    case Error::NotXml:
        return tr("the document is not XML");
    case Error::KeyUnreadable:
        return tr("the private key could not be read (an unencrypted PEM RSA or EC key is needed)");
    case Error::CertificateUnreadable:
        return tr("the signer's certificate could not be read (a PEM certificate is needed)");
    case Error::KeyNotCertificate:
        return tr("the private key does not belong to the certificate");
    case Error::AlreadySigned:
        return tr("the document is already signed; a second signature would break the first");
    case Error::NoSignature:
        return tr("the document holds no signature");
    case Error::SeveralSignatures:
        return tr("the document holds more than one signature");
    case Error::NotWholeDocument:
        return tr("the signature does not cover the whole document");
    case Error::ContentChanged:
        return tr("the digest does not match: the signed content was changed");
    case Error::SignatureMismatch:
        return tr("the signature does not match the key of the certificate it carries");
    case Error::TrustUnreadable:
        return tr("the trusted certificate could not be read (a PEM certificate is needed)");
    case Error::NotIssuedByTrusted:
        return tr("the signer's certificate was not issued by the trusted certificate");
    case Error::Failed:
        return tr("the signature could not be processed");
    }
    return QString();
}

Signed sign(const QByteArray &xml, const QString &keyPath, const QString &certificatePath)
{
    if (!ready())
        return signingFailure(Error::Failed, tr("the XML security library did not start"));
    takeLibraryError();
    if (xml.size() > MaxDocumentBytes)
        return signingFailure(Error::TooLarge);
    QString parseError;
    Document doc = parse(xml, &parseError);
    if (!doc)
        return signingFailure(Error::NotXml, parseError);
    xmlNode *root = xmlDocGetRootElement(doc.get());
    QVector<xmlNode *> existing;
    collectSignatures(root, &existing);
    if (!existing.isEmpty())
        return signingFailure(Error::AlreadySigned);

    if (!readable(keyPath))
        return signingFailure(Error::KeyUnreadable, tr("no readable file '%1'").arg(keyPath));
    // An empty password rather than none: without one, OpenSSL would prompt on the terminal
    // for an encrypted key.
    takeLibraryError();
    Key key(xmlSecCryptoAppKeyLoad(fileName(keyPath).constData(), xmlSecKeyDataFormatPem, "", nullptr, nullptr));
    if (!key)
        return signingFailure(Error::KeyUnreadable, takeLibraryError());
    if (!readable(certificatePath))
        return signingFailure(Error::CertificateUnreadable, tr("no readable file '%1'").arg(certificatePath));
    if (xmlSecCryptoAppKeyCertLoad(key.get(), fileName(certificatePath).constData(), xmlSecKeyDataFormatPem) < 0)
        return signingFailure(Error::CertificateUnreadable, takeLibraryError());

    if (!certifies(certificatePath, key.get()))
        return signingFailure(Error::KeyNotCertificate);

    xmlSecTransformId method = nullptr;
    if (xmlSecKeyDataCheckId(xmlSecKeyGetValue(key.get()), xmlSecKeyDataRsaId))
        method = xmlSecTransformRsaSha256Id;
    else if (xmlSecKeyDataCheckId(xmlSecKeyGetValue(key.get()), xmlSecKeyDataEcdsaId))
        method = xmlSecTransformEcdsaSha256Id;
    else
        return signingFailure(Error::KeyUnreadable, tr("neither an RSA nor an EC key"));

    xmlNode *signature = xmlSecTmplSignatureCreateNsPref(doc.get(), xmlSecTransformExclC14NId, method, nullptr,
                                                         BAD_CAST "ds");
    if (!signature)
        return signingFailure(Error::Failed, takeLibraryError());
    // The schema puts signatures after every other child of the root.
    xmlAddChild(root, signature);
    xmlAddChild(root, xmlNewText(BAD_CAST "\n"));
    xmlNode *reference = xmlSecTmplSignatureAddReference(signature, xmlSecTransformSha256Id, nullptr, BAD_CAST "",
                                                         nullptr);
    xmlNode *keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
    xmlNode *x509Data = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
    if (!reference || !x509Data || !xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedId)
        || !xmlSecTmplReferenceAddTransform(reference, xmlSecTransformExclC14NId)
        || !xmlSecTmplX509DataAddCertificate(x509Data))
        return signingFailure(Error::Failed, takeLibraryError());

    SignatureContext context(xmlSecDSigCtxCreate(nullptr));
    if (!context)
        return signingFailure(Error::Failed, takeLibraryError());
    context->signKey = key.release(); // the context owns it from here
    if (xmlSecDSigCtxSign(context.get(), signature) < 0)
        return signingFailure(Error::Failed, takeLibraryError());

    xmlChar *bytes = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &bytes, &size, "UTF-8");
    if (!bytes)
        return signingFailure(Error::Failed, tr("out of memory"));
    Signed result;
    result.document = QByteArray(reinterpret_cast<const char *>(bytes), size);
    xmlFree(bytes);

    // Checked as a reader will check it: a key that is not the certificate's signs without
    // complaint, and only a check shows it.
    const Verification checked = verify(result.document);
    if (!checked.valid()) {
        return signingFailure(checked.error == Error::SignatureMismatch ? Error::KeyNotCertificate : checked.error,
                              checked.error == Error::SignatureMismatch ? QString() : checked.message);
    }
    result.error = Error::None;
    return result;
}

Verification verify(const QByteArray &xml, const QString &trustedPath)
{
    if (!ready())
        return failure(Error::Failed, tr("the XML security library did not start"));
    takeLibraryError();
    if (xml.size() > MaxDocumentBytes)
        return failure(Error::TooLarge);
    QString parseError;
    Document doc = parse(xml, &parseError);
    if (!doc)
        return failure(Error::NotXml, parseError);
    xmlNode *root = xmlDocGetRootElement(doc.get());
    QVector<xmlNode *> signatures;
    collectSignatures(root, &signatures);
    if (signatures.isEmpty())
        return failure(Error::NoSignature);
    if (signatures.size() > 1)
        return failure(Error::SeveralSignatures);
    xmlNode *signature = signatures.first();
    if (signature->parent != root || !coversWholeDocument(signature))
        return failure(Error::NotWholeDocument);

    // First against the certificate the document carries, which tells a changed content
    // from a wrong key; then, when asked, that certificate against the trusted one.
    const Pass own = check(signature);
    if (own.outcome < 0 || !own.context)
        return failure(Error::Failed, takeLibraryError());
    if (own.context->status != xmlSecDSigStatusSucceeded)
        return failure(referencesMatch(*own.context) ? Error::SignatureMismatch : Error::ContentChanged);
    X509 *certificate = signerCertificate(*own.context);
    if (!certificate)
        return failure(Error::Failed, tr("no signer's certificate"));

    Verification result;
    result.signer = nameText(X509_get_subject_name(certificate));
    result.issuer = nameText(X509_get_issuer_name(certificate));
    if (!trustedPath.isEmpty()) {
        if (!readable(trustedPath))
            return failure(Error::TrustUnreadable, tr("no readable file '%1'").arg(trustedPath));
        QString problem;
        const Chain chain = checkChain(*own.context, certificate, trustedPath, &problem);
        if (chain == Chain::TrustUnreadable)
            return failure(Error::TrustUnreadable, problem);
        if (chain != Chain::Trusted) {
            Verification untrusted = failure(Error::NotIssuedByTrusted, problem);
            untrusted.signer = result.signer;
            untrusted.issuer = result.issuer;
            return untrusted;
        }
        result.trusted = true;
    }
    result.error = Error::None;
    return result;
}

} // namespace signing
