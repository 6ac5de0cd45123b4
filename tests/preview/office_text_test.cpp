// The office text reader on documents LibreOffice wrote (tests/fixtures/preview), and on
// the same documents damaged.
#include "preview/office_text.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <QFile>
#include <random>
#include <vector>

namespace kestrune::preview {
namespace {

QByteArray Fixture(const char* name) {
    QFile file(QString(KESTRUNE_FIXTURES_DIR) + "/preview/" + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

TEST(OfficeText, WordDocumentGivesItsParagraphs) {
    const OfficeText text = ExtractOfficeText(Fixture("memo.docx"));
    ASSERT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_TRUE(text.text.startsWith("Quarterly heron report\nThe kestrel flies over Halvardine.\n")) << text.text.toStdString();
}

TEST(OfficeText, OpenDocumentTextGivesItsParagraphs) {
    const OfficeText text = ExtractOfficeText(Fixture("memo.odt"));
    ASSERT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_TRUE(text.text.contains("Quarterly heron report\nThe kestrel flies over Halvardine.")) << text.text.toStdString();
}

TEST(OfficeText, SpreadsheetGivesTheFirstSheetsCellsByRow) {
    // Text cells come from the shared string table, figures from the cells themselves.
    const OfficeText text = ExtractOfficeText(Fixture("budget.xlsx"));
    ASSERT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_EQ(text.text, "Item\tAmount\nRope\t12\nLantern\t30\n");
}

TEST(OfficeText, PresentationGivesEachSlidesText) {
    const OfficeText text = ExtractOfficeText(Fixture("slides.pptx"));
    ASSERT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_TRUE(text.text.contains("Letter about the lighthouse")) << text.text.toStdString();
    EXPECT_TRUE(text.text.contains("With regards from the harbour.")) << text.text.toStdString();
}

// A ZIP made here: members by name, compressed.
QByteArray Zip(const std::vector<std::pair<const char*, QByteArray>>& members) {
    std::vector<char> out(8 << 20);
    size_t used = 0;
    archive* writer = archive_write_new();
    archive_write_set_format_zip(writer);
    archive_write_open_memory(writer, out.data(), out.size(), &used);
    for (const auto& [name, data] : members) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name);
        archive_entry_set_size(entry, data.size());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_write_header(writer, entry);
        archive_write_data(writer, data.constData(), size_t(data.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return QByteArray(out.data(), qsizetype(used));
}

TEST(OfficeText, ALongDocumentIsCutAtItsFirstCharacters) {
    const QByteArray paragraph = "<w:p><w:r><w:t>" + QByteArray(5000, 'k') + "</w:t></w:r></w:p>";
    const QByteArray xml = "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
                           "<w:body>" + paragraph + "</w:body></w:document>";
    const OfficeText text = ExtractOfficeText(Zip({{"word/document.xml", xml}}));
    ASSERT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_EQ(text.text, QString(kDocumentChars, 'k'));
}

TEST(OfficeText, AMemberThatUnpacksToFarTooMuchIsReadOnlyToTheLimit) {
    // 64 MiB of one byte pack into a few hundred KiB: a ZIP bomb in a document's clothes.
    // The reader stops at its limit; what it read before is still the document's text.
    const QByteArray start = "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
                             "<w:body><w:p><w:r><w:t>bomb</w:t></w:r></w:p><!--";
    QByteArray xml = start + QByteArray(64 << 20, ' ');
    const QByteArray zip = Zip({{"word/document.xml", xml}});
    xml.clear();
    ASSERT_LT(zip.size(), 4 << 20);
    const OfficeText text = ExtractOfficeText(zip);
    EXPECT_EQ(text.status, OfficeTextStatus::Ok);
    EXPECT_EQ(text.text, "bomb\n");
}

TEST(OfficeText, DamagedDocumentsGiveNoTextAndNeverCrash) {
    EXPECT_EQ(ExtractOfficeText({}).status, OfficeTextStatus::Unreadable);
    EXPECT_EQ(ExtractOfficeText("not a zip at all").status, OfficeTextStatus::Unreadable);
    std::mt19937 random(7);
    for (const char* name : {"memo.docx", "memo.odt", "budget.xlsx", "slides.pptx"}) {
        const QByteArray whole = Fixture(name);
        // Cut anywhere, and with bytes overwritten: whatever comes out, it comes out.
        for (qsizetype cut : {qsizetype(30), whole.size() / 3, whole.size() / 2, whole.size() - 22}) {
            const OfficeText text = ExtractOfficeText(whole.left(cut));
            EXPECT_LE(text.text.size(), kDocumentChars * 8) << name;
        }
        for (int round = 0; round < 50; ++round) {
            QByteArray damaged = whole;
            for (int i = 0; i < 20; ++i) damaged[random() % damaged.size()] = char(random());
            const OfficeText text = ExtractOfficeText(damaged);
            EXPECT_LE(text.text.size(), kDocumentChars * 8) << name;
        }
    }
}

TEST(OfficeText, AZipOfOtherThingsIsNoOfficeDocument) {
    QFile file(QString(KESTRUNE_FIXTURES_DIR) + "/preview/memo.docx");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    // Renaming the main part makes the package one of no known kind.
    const qsizetype at = bytes.indexOf("word/document.xml");
    ASSERT_GE(at, 0);
    for (qsizetype i = bytes.indexOf("word/document.xml"); i >= 0; i = bytes.indexOf("word/document.xml", i + 1))
        bytes[i] = 'x';
    EXPECT_EQ(ExtractOfficeText(bytes).status, OfficeTextStatus::NotOffice);
}

}  // namespace
}  // namespace kestrune::preview
