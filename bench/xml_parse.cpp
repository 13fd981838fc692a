// SetDocument throughput against pugixml (load_buffer, default options) and tinyxml2 (Parse) on
// the same two 20 MB documents, in one run: (a) many small elements with attributes, like a large
// URL table; (b) long text content. Peers parse the UTF-8 bytes, CXmlDocument the UTF-16 text; the
// UTF-8 -> UTF-16 conversion is measured on its own. All rates are of the UTF-8 size. Parses are
// warm (one document object reused), so page faults of fresh memory do not drown the parsers.
// After the run: the ratio of CXmlDocument to each peer, and the index's bytes per element.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <tinyxml2.h>

#include <cstdio>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "bench_times.h"
#include "platform/codepage.h"
#include "xml/xmldocument.h"

namespace {

constexpr size_t kTargetBytes = 20u << 20;

std::string MakeUrlTable() {
    std::string s = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root>\r\n";
    char sz[256];
    for (int i = 0; s.size() < kTargetBytes; ++i) {
        std::snprintf(sz, sizeof(sz),
                      "  <url id=\"%d\" name=\"service%d\" path=\"http://srv%d.example.com/api/"
                      "v2/item?id=%d&amp;k=1\"/>\r\n",
                      i, i % 97, i % 13, i);
        s += sz;
    }
    s += "</root>\r\n";
    return s;
}

std::string MakeLongText() {
    std::string strPara;
    const char* pszWords[] = {"feedback ", "report ",  "screen ", "server ",      "attachment ",
                              "customer ", "problem ", "title ",  "description ", "&amp; "};
    for (int i = 0; strPara.size() < 8000; ++i) strPara += pszWords[(i * 7) % 10];
    std::string s = "<?xml version=\"1.0\"?>\r\n<doc>\r\n";
    for (int i = 0; s.size() < kTargetBytes; ++i) {
        s += "  <para n=\"" + std::to_string(i) + "\">";
        s += strPara;
        s += "</para>\r\n";
    }
    s += "</doc>\r\n";
    return s;
}

struct Corpus {
    std::string strUtf8;
    std::u16string strWide;
};

const Corpus& Get(int nWhich) {
    static Corpus corpora[2];
    Corpus& c = corpora[nWhich];
    if (c.strUtf8.empty()) {
        c.strUtf8 = nWhich == 0 ? MakeUrlTable() : MakeLongText();
        c.strWide = kt::FromUtf8(c.strUtf8);
    }
    return c;
}

const char* Label(int nWhich) {
    return nWhich == 0 ? "small_elements" : "long_text";
}

void BM_Kt(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    kt::CXmlDocument doc;
    bool bOk = true;
    for (auto _ : state) {
        bOk = doc.SetDocument(c.strWide) && bOk;
        benchmark::DoNotOptimize(doc.GetRecordCount());
    }
    if (!bOk) state.SkipWithError("not well formed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.strUtf8.size()));
    // The index of one parse in a fresh object: every allocated record (32 bytes) plus the
    // segment table, per element. (A reused object keeps the largest store it ever had.)
    kt::CXmlDocument fresh(c.strWide);
    const double nElems = fresh.GetRecordCount() - 1;
    state.counters["elements"] = nElems;
    const double nIndexBytes =
        static_cast<double>(fresh.GetCapacity()) * sizeof(kt::ElementRecord) +
        (((fresh.GetCapacity() - 1) >> 16) * 2 + 4) * sizeof(void*);
    state.counters["index_B_per_elem"] = nIndexBytes / nElems;
    // Records past the next free one are allocated but never written, so a large store's tail
    // stays untouched (not resident): what the parse really touched, per element.
    const double nUsedBytes =
        static_cast<double>(fresh.GetRecordCount()) * sizeof(kt::ElementRecord) +
        (((fresh.GetCapacity() - 1) >> 16) * 2 + 4) * sizeof(void*);
    state.counters["index_used_B_per_elem"] = nUsedBytes / nElems;
    state.SetLabel(Label(static_cast<int>(state.range(0))));
}

void BM_Pugixml(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    pugi::xml_document doc;
    for (auto _ : state) {
        const pugi::xml_parse_result result = doc.load_buffer(c.strUtf8.data(), c.strUtf8.size());
        if (!result) state.SkipWithError("pugixml parse failed");
        benchmark::DoNotOptimize(doc.first_child());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.strUtf8.size()));
    state.SetLabel(Label(static_cast<int>(state.range(0))));
}

void BM_Tinyxml2(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    tinyxml2::XMLDocument doc;
    for (auto _ : state) {
        if (doc.Parse(c.strUtf8.data(), c.strUtf8.size()) != tinyxml2::XML_SUCCESS) {
            state.SkipWithError("tinyxml2 parse failed");
        }
        benchmark::DoNotOptimize(doc.FirstChild());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.strUtf8.size()));
    state.SetLabel(Label(static_cast<int>(state.range(0))));
}

void BM_Utf8ToUtf16(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::u16string str = kt::FromUtf8(c.strUtf8);
        benchmark::DoNotOptimize(str.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.strUtf8.size()));
    state.SetLabel(Label(static_cast<int>(state.range(0))));
}

BENCHMARK(BM_Kt)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Pugixml)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Tinyxml2)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Utf8ToUtf16)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// CXmlDocument's throughput and its ratio to each peer, per document.
void PrintRatios(const ktbench::CTimesReporter& reporter) {
    for (int n = 0; n < 2; ++n) {
        const std::string strArg = "/" + std::to_string(n);
        const auto Time = [&](const char* pszName) { return reporter.Time(pszName + strArg); };
        const double nKt = Time("BM_Kt");
        const double nMb = Get(n).strUtf8.size() / 1048576.0;
        if (nKt <= 0) continue;
        std::printf(
            "%-15s CXmlDocument %.0f MB/s; %.2fx pugixml (goal >= 0.5), %.2fx tinyxml2 "
            "(goal >= 1.5); UTF-8 -> UTF-16 %.0f MB/s\n",
            Label(n), nMb / (nKt / 1000.0), Time("BM_Pugixml") / nKt, Time("BM_Tinyxml2") / nKt,
            Time("BM_Utf8ToUtf16") > 0 ? nMb / (Time("BM_Utf8ToUtf16") / 1000.0) : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Warm for every parser alike: freed blocks stay in the process instead of going back to the
    // system, so a repeated parse does not pay for fresh pages (pugixml and tinyxml2 free and
    // allocate their buffers and nodes on every parse).
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ktbench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
