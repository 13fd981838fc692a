// Parse throughput of a large table reply, next to memcpy of the same bytes and a bare loop that
// decodes the same primitives and throws them away (the format's own floor). Warm memory, one run.
// Also counts heap allocations per parsed row, to show that numeric cells never allocate.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bench_times.h"
#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"

// ---- allocation counting ----

static std::atomic<uint64_t> g_nAllocs{0};

void* operator new(size_t n) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr int kRows = 200000;

struct Fixture {
    std::string strMixed;    // envelope + 12 mixed columns
    std::string strNumeric;  // envelope + the 9 numeric columns only
    std::vector<uint32_t> vecMixedTypes;
    std::vector<uint32_t> vecNumericTypes;
};

std::u16string MakeText(std::mt19937& rng, int nKind) {
    static const char16_t* const s_words[] = {u"北京", u"上海", u"广州", u"深圳", u"杭州",
                                              u"成都", u"武汉", u"南京", u"西安", u"重庆"};
    std::u16string str;
    if (nKind == 0) {
        // A product code: ASCII.
        str = u"SKU-";
        for (int i = 0; i < 8; ++i) str += static_cast<char16_t>(u'A' + rng() % 26);
    } else if (nKind == 1) {
        // A customer name: a few Chinese words.
        for (int i = 0, n = 5 + static_cast<int>(rng() % 6); i < n; ++i) str += s_words[rng() % 10];
        str += u"有限公司";
    } else {
        // A remark: mixed.
        for (int i = 0, n = 6 + static_cast<int>(rng() % 9); i < n; ++i) {
            str += s_words[rng() % 10];
            str += u" order ";
            str += static_cast<char16_t>(u'0' + rng() % 10);
        }
    }
    return str;
}

kt::CDataTable MakeTable(bool bNumericOnly) {
    struct Col {
        const char16_t* pszName;
        uint32_t nType;
    };
    std::vector<Col> cols = {
        {u"id", kt::DT_INTEGER},    {u"qty", kt::DT_INTEGER},      {u"code", kt::DT_INTEGER},
        {u"price", kt::DT_DOUBLE},  {u"amount", kt::DT_DOUBLE},    {u"rate", kt::DT_FLOAT},
        {u"weight", kt::DT_FLOAT2}, {u"ordered", kt::DT_DATE},     {u"shipped", kt::DT_DATE},
        {u"sku", kt::DT_STRING},    {u"customer", kt::DT_STRING1}, {u"remark", kt::DT_STRING3}};
    if (bNumericOnly) cols.resize(9);
    kt::CDataTable table(kRows, static_cast<int32_t>(cols.size()));
    table.m_vecHeads.resize(cols.size());
    for (size_t c = 0; c < cols.size(); ++c) {
        table.m_vecHeads[c].m_strName = cols[c].pszName;
        table.m_vecHeads[c].m_nType = cols[c].nType;
    }
    std::mt19937 rng(42);
    for (int r = 0; r < kRows; ++r) {
        kt::CDataRow& row = table.m_vecRows[static_cast<size_t>(r)];
        row.m_vecCells[0].SetInteger(r + 1);
        row.m_vecCells[1].SetInteger(rng() % 1000000);
        row.m_vecCells[2].SetInteger(static_cast<int>(rng() % 128) - 64);
        row.m_vecCells[3].SetDouble((rng() % 10000000) / 100.0);
        row.m_vecCells[4].SetDouble((rng() % 1000000000) / 100.0);
        row.m_vecCells[5].SetDouble((rng() % 1000) / 1000.0, kt::DT_FLOAT);
        row.m_vecCells[6].SetDouble((rng() % 100000) / 10.0, kt::DT_FLOAT2);
        row.m_vecCells[7].SetInteger(
            20200101 + (rng() % 5) * 10000 + (rng() % 12) * 100 + rng() % 28, kt::DT_DATE);
        row.m_vecCells[8].SetInteger(20250101 + (rng() % 12) * 100 + rng() % 28, kt::DT_DATE);
        if (!bNumericOnly) {
            row.m_vecCells[9].SetString(MakeText(rng, 0), kt::DT_STRING);
            row.m_vecCells[10].SetString(MakeText(rng, 1), kt::DT_STRING1);
            row.m_vecCells[11].SetString(MakeText(rng, 2), kt::DT_STRING3);
        }
    }
    return table;
}

const Fixture& GetFixture() {
    static const Fixture s_fixture = [] {
        Fixture f;
        kt::SetAnsiCodePage("UTF-8");
        const kt::CDataTable mixed = MakeTable(false);
        f.strMixed = kt::WriteReplyEnvelope(&mixed);
        for (const auto& head : mixed.m_vecHeads) f.vecMixedTypes.push_back(head.m_nType);
        const kt::CDataTable numeric = MakeTable(true);
        f.strNumeric = kt::WriteReplyEnvelope(&numeric);
        for (const auto& head : numeric.m_vecHeads) f.vecNumericTypes.push_back(head.m_nType);
        std::printf("reply: %.1f MB, %d rows, %zu columns; numeric-only reply: %.1f MB\n",
                    f.strMixed.size() / 1e6, kRows, f.vecMixedTypes.size(),
                    f.strNumeric.size() / 1e6);
        return f;
    }();
    return s_fixture;
}

void SetRates(benchmark::State& state, size_t nBytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * nBytes));
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                  benchmark::Counter::kIsRate);
}

void BM_Memcpy(benchmark::State& state) {
    const std::string& str = GetFixture().strMixed;
    std::unique_ptr<char[]> pDest(new char[str.size()]);
    std::memset(pDest.get(), 0, str.size());
    for (auto _ : state) {
        std::memcpy(pDest.get(), str.data(), str.size());
        benchmark::DoNotOptimize(pDest.get());
        benchmark::ClobberMemory();
    }
    SetRates(state, str.size());
}

// Decodes every primitive of the reply in order and discards it: envelope, section header,
// heads, and each row's length and values by column type (texts converted into one reused
// string).
void BareDecode(const std::string& str, size_t nCols) {
    kt::CDataBufParser parser(str.data(), static_cast<uint32_t>(str.size()));
    std::u16string strText;
    for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(parser.ReadInt());
    for (int i = 0; i < 3; ++i) {
        parser.ReadString(strText);
        const uint32_t nType = parser.ReadType();
        if (nType == kt::DT_INTEGER) benchmark::DoNotOptimize(parser.ReadInt());
        if (nType == kt::DT_STRING) parser.ReadString(strText);
    }
    for (int i = 0; i < 2; ++i) benchmark::DoNotOptimize(parser.ReadInt());
    const int32_t nC = parser.ReadInt();
    const int32_t nR = parser.ReadInt();
    benchmark::DoNotOptimize(parser.ReadInt());
    std::vector<uint32_t> vecTypes;
    for (int32_t c = 0; c < nC; ++c) {
        parser.ReadString(strText);
        vecTypes.push_back(parser.ReadType());
        benchmark::DoNotOptimize(parser.ReadInt());
    }
    if (vecTypes.size() != nCols) std::abort();
    double d;
    for (int32_t r = 0; r < nR; ++r) {
        benchmark::DoNotOptimize(parser.ReadInt());
        for (uint32_t nType : vecTypes) {
            if (nType & kt::DT_FAMILY_INTEGER) {
                benchmark::DoNotOptimize(parser.ReadInt());
            } else if (nType & kt::DT_FAMILY_STRING) {
                parser.ReadString(strText);
                benchmark::DoNotOptimize(strText.data());
            } else if (nType == kt::DT_DOUBLE) {
                parser.ReadDouble(d);
                benchmark::DoNotOptimize(d);
            } else {
                parser.ReadFloat(d);
                benchmark::DoNotOptimize(d);
            }
        }
    }
}

void BM_BareDecode(benchmark::State& state) {
    const Fixture& f = GetFixture();
    for (auto _ : state) BareDecode(f.strMixed, f.vecMixedTypes.size());
    SetRates(state, f.strMixed.size());
}

void ParseReply(benchmark::State& state, const std::string& str, size_t nCols) {
    uint64_t nAllocs = 0;
    for (auto _ : state) {
        std::unique_ptr<kt::CDataTable> pTable;
        const uint64_t nBefore = g_nAllocs.load(std::memory_order_relaxed);
        if (kt::ReadReplyTable(str.data(), str.size(), pTable) != 0 ||
            pTable->GetRowCount() != kRows)
            std::abort();
        nAllocs = g_nAllocs.load(std::memory_order_relaxed) - nBefore;
        // Freeing the table is not part of parsing.
        state.PauseTiming();
        pTable.reset();
        state.ResumeTiming();
    }
    SetRates(state, str.size());
    state.counters["allocs/row"] = static_cast<double>(nAllocs) / kRows;
    state.counters["allocs/cell"] =
        static_cast<double>(nAllocs) / (static_cast<double>(kRows) * nCols);
}

void BM_ParseReply(benchmark::State& state) {
    const Fixture& f = GetFixture();
    ParseReply(state, f.strMixed, f.vecMixedTypes.size());
}

void BM_ParseReplyNumericOnly(benchmark::State& state) {
    const Fixture& f = GetFixture();
    ParseReply(state, f.strNumeric, f.vecNumericTypes.size());
}

void BM_BareDecodeNumericOnly(benchmark::State& state) {
    const Fixture& f = GetFixture();
    for (auto _ : state) BareDecode(f.strNumeric, f.vecNumericTypes.size());
    SetRates(state, f.strNumeric.size());
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseReply)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDecodeNumericOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseReplyNumericOnly)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    kt::SetMessageBoxHandler(
        [](std::u16string_view, std::u16string_view, unsigned) { return kt::kIdOk; });
    GetFixture();
    benchmark::Initialize(&argc, argv);
    ktbench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double dBare = reporter.Time("BM_BareDecode");
    const double dParse = reporter.Time("BM_ParseReply");
    const double dMemcpy = reporter.Time("BM_Memcpy");
    if (dBare > 0 && dParse > 0) {
        std::printf("parse speed / bare decoding loop: %.2fx (goal >= 0.40x)\n", dBare / dParse);
        if (dMemcpy > 0) std::printf("parse speed / memcpy: %.4fx\n", dMemcpy / dParse);
    }
    const double dBareNum = reporter.Time("BM_BareDecodeNumericOnly");
    const double dParseNum = reporter.Time("BM_ParseReplyNumericOnly");
    if (dBareNum > 0 && dParseNum > 0)
        std::printf("numeric-only parse speed / bare decoding loop: %.2fx\n", dBareNum / dParseNum);
    benchmark::Shutdown();
    return 0;
}
