#pragma once

#include "certificatedocument.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The certificate as a Digital Calibration Certificate: PTB's XML (DCC 3.3.0, units and
// uncertainties in D-SI 2.2.1), written from the same document the PDF is drawn from. The
// numbers go in with the digits the record holds; the record itself goes in whole, so the
// DCC alone is enough to recompute every result.
namespace dcc {

constexpr const char *SchemaVersion = "3.3.0";
constexpr const char *Namespace = "https://ptb.de/dcc";
constexpr const char *SiNamespace = "https://ptb.de/si";

// What the procedure lacks that a DCC needs (the laboratory's country and city, the
// certificate's language): the first member missing, and a message naming them all.
procedure::Error missing(const procedure::Procedure &procedure);

struct Written
{
    QByteArray xml;
    procedure::Error error; // why there is none: what the procedure lacks
};

Written write(const certificate::Document &document);

// The record's bytes as its file holds them, which the DCC embeds.
QByteArray recordBytes(const certificate::Document &document);
// The DCC's file name: the certificate's number, with what a file name cannot hold replaced,
// and ".dcc.xml".
QString fileName(const certificate::Document &document);

// Writes `xml` to `path` atomically; empty on success, else why not.
QString save(const QString &path, const QByteArray &xml);

// Reads a DCC file (bounded: it holds the record, so it may be large, but not without end).
std::optional<QByteArray> load(const QString &path, procedure::Error *error);

// The record a DCC embeds, as its file held it; nullopt with the reason when there is none.
std::optional<QByteArray> embeddedRecord(const QByteArray &xml, procedure::Error *error);

// Whether `xml` is the DCC of the document's record: the record it embeds is that record,
// byte for byte, and every element and value is what the record gives (the date of issue and a
// signature aside). Empty when it is, else the first difference.
QString belongsTo(const QByteArray &xml, const certificate::Document &document);

} // namespace dcc
