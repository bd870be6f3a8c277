#pragma once

#include "Main.h"
#include "Queue.h"
#include "engine/PrevPrinter.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestSupport.h"
#include "ui_Main.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>

// A spooler on the fakes: the program lives in a temporary directory with its "tisk"
// spool directory beside it, and one 600-dpi laser printer is installed.
struct SpoolerFixture
{
    SpoolerFixture()
    {
        QDir().mkpath(spoolDir());
        fake.environment.programDir = dir.path();
        fake.environment.startupDir = dir.path();
        fake.printers.addPrinter(QStringLiteral("Laser"), laser600());
        fake.printers.setKeepRecords(false);
        fake.application.setTitle(QStringLiteral("Pagello"));
    }

    QString spoolDir() const { return dir.filePath(QStringLiteral("tisk")); }
    QString spoolFile(const QString& name) const { return spoolDir() + QLatin1Char('/') + name; }

    // A spool file of so many pages (form feeds between them), with the end marker.
    void writeDocument(const QString& name, int pages = 1)
    {
        QByteArray text;
        for (int p = 1; p <= pages; ++p) {
            if (p > 1)
                text += '\f';
            text += "Page " + QByteArray::number(p);
        }
        text += '\r';
        text += '\0';
        writeBytes(name, text.toStdString());
    }
    void writeBytes(const QString& name, const std::string& bytes) { writeBytes(QFile::encodeName(name), bytes); }
    // Under a name of any bytes, also ones that are not text.
    void writeBytes(const QByteArray& name, const std::string& bytes)
    {
        const QByteArray path = QFile::encodeName(spoolDir()) + '/' + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path.constData();
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::close(fd);
    }

    TForm1& start(const QStringList& arguments = {})
    {
        form = std::make_unique<TForm1>(fake.spooler(), arguments);
        return *form;
    }
    Ui::TForm1& ui() { return form->controls(); }

    // The titles of the jobs the printer accepted.
    std::vector<QString> printedTitles() const
    {
        std::vector<QString> t;
        for (const auto& job : fake.printers.jobs())
            if (job.ended)
                t.push_back(job.title);
        return t;
    }
    std::vector<QString> titles() const
    {
        std::vector<QString> t;
        for (const auto& job : fake.printers.jobs())
            t.push_back(job.title);
        return t;
    }
    QStringList captions() const
    {
        QStringList c;
        for (int i = 0; i < form->queue().count(); ++i)
            c << form->queue().entry(i).caption;
        return c;
    }
    QStringList states() const
    {
        QStringList s;
        for (int i = 0; i < form->queue().count(); ++i)
            s << form->queue().entry(i).state;
        return s;
    }

    QTemporaryDir dir;
    FakeSpoolerPlatform fake;
    std::unique_ptr<TForm1> form;
};
