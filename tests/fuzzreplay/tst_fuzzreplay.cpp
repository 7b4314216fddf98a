// The fuzz targets' inputs as ordinary tests: every seed and every input that
// once made a target fail goes through the target's own entry function. A
// fault the entry detects aborts the process after naming the input.

#include "chunkplan.h"
#include "fuzzentry.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <vector>

namespace {

using Entry = int (*)(const uint8_t *, size_t);

// Runs every file of folder through entry; returns how many there were.
int replayFolder(const QString &folder, Entry entry)
{
    const QFileInfoList files =
        QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    int count = 0;
    for (const QFileInfo &info : files) {
        if (info.fileName().startsWith(QLatin1Char('.')))
            continue;
        QFile f(info.absoluteFilePath());
        if (!f.open(QIODevice::ReadOnly)) {
            ADD_FAILURE() << "cannot read " << info.absoluteFilePath().toStdString();
            continue;
        }
        const QByteArray bytes = f.readAll();
        // Named before it runs: a detected fault ends the process.
        std::fprintf(stderr, "replaying %s (%d bytes)\n", qPrintable(info.absoluteFilePath()),
                     int(bytes.size()));
        EXPECT_EQ(entry(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())), 0);
        ++count;
    }
    return count;
}

const QString kCorpus = QStringLiteral(FUZZ_CORPUS_DIR);
const QString kRegressions = QStringLiteral(FUZZ_REGRESSIONS_DIR);

// The seeds are many; a lost or moved corpus must not pass as an empty one.
constexpr int kMinSeeds = 40;

} // namespace

TEST(FuzzReplay, FramerCorpusAndRegressions)
{
    EXPECT_GE(replayFolder(kCorpus + QStringLiteral("/framer"), &fuzzentry::framerOneInput), kMinSeeds);
    replayFolder(kRegressions + QStringLiteral("/framer"), &fuzzentry::framerOneInput);
}

TEST(FuzzReplay, DispatchCorpusAndRegressions)
{
    const unsigned long long setsBefore = fuzzentry::recordedClockSets();
    EXPECT_GE(replayFolder(kCorpus + QStringLiteral("/dispatch"), &fuzzentry::dispatchOneInput),
              kMinSeeds);
    replayFolder(kRegressions + QStringLiteral("/dispatch"), &fuzzentry::dispatchOneInput);
    // The clock seeds reached the clock layer, and it was the recorder.
    EXPECT_GT(fuzzentry::recordedClockSets(), setsBefore);
}

// The read plan decides what the seeds mean; its size bytes must keep their meaning.
TEST(FuzzReplay, ReadPlanSizes)
{
    struct Row {
        std::vector<uint8_t> input;
        std::vector<size_t> reads;
    };
    const std::vector<Row> rows = {
        {{}, {}},
        {{0}, {}},                                  // a count and no size byte
        {{0, 255, 1, 2, 3}, {3}},                   // one read of up to 268 bytes
        {{1, 0, 2, 9, 9, 9, 9, 9}, {1, 3, 1}},      // 1, 3, 1 ... cyclically
        {{0, 240, 7}, {1}},                         // 256 wanted, 1 there
        {{7, 5, 5}, {}},                            // count beyond the input
    };
    for (const Row &row : rows) {
        fuzzentry::ChunkPlan plan(row.input.data(), row.input.size());
        std::vector<size_t> got;
        const uint8_t *chunk;
        size_t length;
        while (plan.next(&chunk, &length))
            got.push_back(length);
        EXPECT_EQ(got, row.reads) << "input of " << row.input.size() << " bytes";
    }

    std::vector<uint8_t> big = {0, 244};
    big.resize(big.size() + 3000, 0x5A);
    fuzzentry::ChunkPlan plan(big.data(), big.size());
    const uint8_t *chunk;
    size_t length;
    ASSERT_TRUE(plan.next(&chunk, &length));
    EXPECT_EQ(length, 1280u);
    EXPECT_EQ(chunk, big.data() + 2);
}
