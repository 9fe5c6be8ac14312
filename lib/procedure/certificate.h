#pragma once

#include "certificatedocument.h"
#include "record.h"

#include <QByteArray>

#include <QImage>
#include <QString>

// The calibration certificate of a record, as a PDF on A4: what ISO/IEC 17025 7.8.2.1 asks a
// report to hold, the results as found and as left (or the proposed adjustment, marked as not
// made), each point's uncertainty budget, a deviation plot, the traceability statement, the
// record's SHA-256, "page X of Y" and the certificate's number on every page, and an end
// mark. Needs a QGuiApplication (text is drawn with the platform's fonts).
namespace certificate {

// Writes the certificate; empty on success, else why not.
QString writePdf(const QString &path, const record::Record &record);
// The same from a built document, so a caller that previews and saves builds it once. A
// non-empty `dcc` (the machine-readable certificate's bytes) is embedded as a file attachment
// named by dcc::fileName().
QString writePdf(const QString &path, const Document &document, const QByteArray &dcc = QByteArray());

// The certificate's first page as a picture `width` pixels wide, laid out as in the PDF: a
// preview for a window. Null when the record's procedure cannot be read.
QImage firstPage(const record::Record &record, int width);
QImage firstPage(const Document &document, int width);

} // namespace certificate
