#pragma once

#include <stdexcept>
#include <string>

// Every failure of the program is one of these: an entry from the event loop catches
// PagelloError and shows its message in the application's standard error box.
class PagelloError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Misuse of a document protocol (drawing outside a document, a page without a document).
class EAssertionFailed : public PagelloError
{
public:
    EAssertionFailed(const std::string& message, const std::string& sourceFile)
        : PagelloError(message + " (" + sourceFile + ")")
        , m_message(message)
        , m_sourceFile(sourceFile)
    {}
    const std::string& assertion() const { return m_message; }
    const std::string& sourceFile() const { return m_sourceFile; }

private:
    std::string m_message;
    std::string m_sourceFile;
};

// An index outside a list.
class EListError : public PagelloError
{
public:
    explicit EListError(long long index)
        : PagelloError("List index out of bounds (" + std::to_string(index) + ")")
    {}
};

// A printer that cannot be used: no such printer, a job that cannot start, a failed sheet.
class EPrinterError : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// A file that cannot be opened, read or decoded; the message names the file.
class EFileError : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// A file that was rewritten while it was being read: what was read of it is not one
// document, and it is read again whole once its writer is done.
class EFileChanged : public EFileError
{
public:
    using EFileError::EFileError;
};

// The registry: a value of the wrong type, a value that cannot be stored, a registry file
// that cannot be read.
class ERegistryError : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// A document that cannot be laid out within the fixed bounds of a page (far more drawing
// records or text than any printed page holds): it is refused, not retried.
class EDocumentError : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// A font that no installed face can draw, not even one standing in for it: the desktop has
// no fonts. Not the document's fault: it prints once fonts are installed.
class EFontError : public PagelloError
{
public:
    explicit EFontError(const std::string& family)
        : PagelloError("There is no font for \"" + family + "\"")
    {}
};

// A picture that cannot be read: bytes that are not an image of the kind expected.
class EInvalidGraphic : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// A class cast that does not hold (an owner of the wrong kind).
class EInvalidCast : public PagelloError
{
public:
    EInvalidCast()
        : PagelloError("Invalid class typecast")
    {}
};

// A stream that ends before all that was to be read from it.
class EReadError : public PagelloError
{
public:
    EReadError()
        : PagelloError("Stream read error")
    {}
};

// A stream that does not take all that is written to it.
class EWriteError : public PagelloError
{
public:
    EWriteError()
        : PagelloError("Stream write error")
    {}
};

// The journal of printed batches cannot be written: no further batch is sent until it can,
// or a crash could have pages printed twice.
class EJournalError : public PagelloError
{
public:
    using PagelloError::PagelloError;
};
