#include "signing.h"

#include <QCoreApplication>

// The build without the XML security library (the Windows cross build): every call says so,
// and the programs write their certificates unsigned.
namespace signing {

bool available()
{
    return false;
}

QString message(Error error)
{
    if (error == Error::None)
        return QString();
    return QCoreApplication::translate("signing",
                                       "this build cannot sign or verify: it was built without the XML security library");
}

Signed sign(const QByteArray &, const QString &, const QString &)
{
    Signed result;
    result.error = Error::Unavailable;
    result.message = message(result.error);
    return result;
}

Verification verify(const QByteArray &, const QString &)
{
    Verification result;
    result.error = Error::Unavailable;
    result.message = message(result.error);
    return result;
}

} // namespace signing
