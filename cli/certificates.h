#pragma once

#include "record.h"

#include <QString>

// The certificates of a record, as calibrate and the dcc command write them.
namespace cli {

// Writes the PDF certificate to `pdfPath` and the DCC to `dccPath`, each when named, from one
// document; the PDF holds the DCC when both are written. A status, having said what failed.
int writeCertificates(const record::Record &record, const QString &pdfPath, const QString &dccPath);

} // namespace cli
