// SetDocument throughput against pugixml (load_buffer, default options) and tinyxml2 (Parse) on
// the same two 20 MB documents, in one run: (a) many small elements with attributes, like a large
// URL table; (b) long text content. Peers parse the UTF-8 bytes, CXmlDocument the UTF-16 text; the
// UTF-8 -> UTF-16 conversion is measured on its own. All rates are of the UTF-8 size. Parses are
// warm (one document object reused), so page faults of fresh memory do not drown the parsers.
// Two entries are compared: the copying one (SetDocument of a view, pugixml load_buffer) and the
// one that takes the caller's buffer (SetDocument of an rvalue string, pugixml
// load_buffer_inplace; the buffer is copied for each parse with the clock stopped).
// After the run: the ratio of CXmlDocument to each peer from medians of five repetitions, and the
// index's bytes per element.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <tinyxml2.h>

#include <cstdio>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "xml/xmldocument.h"
#include "xml_medians.h"

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

void BM_KtMove(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    kt::CXmlDocument doc;
    bool bOk = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::u16string strText = c.strWide;
        state.ResumeTiming();
        bOk = doc.SetDocument(std::move(strText)) && bOk;
        benchmark::DoNotOptimize(doc.GetRecordCount());
    }
    if (!bOk) state.SkipWithError("not well formed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.strUtf8.size()));
    state.SetLabel(Label(static_cast<int>(state.range(0))));
}

void BM_PugixmlInPlace(benchmark::State& state) {
    const Corpus& c = Get(static_cast<int>(state.range(0)));
    pugi::xml_document doc;
    for (auto _ : state) {
        state.PauseTiming();
        std::string strText = c.strUtf8;
        state.ResumeTiming();
        const pugi::xml_parse_result result =
            doc.load_buffer_inplace(strText.data(), strText.size());
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

#define KT_XML_BENCH(fn, time)          \
    BENCHMARK(fn)                       \
        ->Arg(0)                        \
        ->Arg(1)                        \
        ->Unit(benchmark::kMillisecond) \
        ->MinTime(time)                 \
        ->Repetitions(ktbench::kRepetitions)
KT_XML_BENCH(BM_Kt, 0.5);
KT_XML_BENCH(BM_Pugixml, 0.5);
KT_XML_BENCH(BM_KtMove, 0.5);
KT_XML_BENCH(BM_PugixmlInPlace, 0.5);
KT_XML_BENCH(BM_Tinyxml2, 0.5);
KT_XML_BENCH(BM_Utf8ToUtf16, 0.3);

// CXmlDocument's throughput and its ratios (peer's median time / ours) per document, in real and
// in CPU time: with other work on the machine, real time also measures the waits for a core.
void PrintRatios(const ktbench::CMedianReporter& reporter) {
    const double dGoals[] = {1.0, 1.2};  // goal against pugixml, per document
    for (int n = 0; n < 2; ++n) {
        const std::string strArg = "/" + std::to_string(n);
        const auto Real = [&](const char* pszName) { return reporter.Real(pszName + strArg); };
        const auto Cpu = [&](const char* pszName) { return reporter.Cpu(pszName + strArg); };
        const auto Ratio = [](double dPeer, double dOurs) {
            return dOurs > 0 ? dPeer / dOurs : 0.0;
        };
        const double nMb = Get(n).strUtf8.size() / 1048576.0;
        if (Real("BM_Kt") <= 0) continue;
        std::printf("%-15s CXmlDocument %.0f MB/s; UTF-8 -> UTF-16 %.0f MB/s (medians of %d)\n",
                    Label(n), nMb / (Real("BM_Kt") / 1000.0),
                    Real("BM_Utf8ToUtf16") > 0 ? nMb / (Real("BM_Utf8ToUtf16") / 1000.0) : 0.0,
                    ktbench::kRepetitions);
        std::printf(
            "%-15s copying:  %.2fx pugixml load_buffer (cpu %.2fx), goal >= %.1f; "
            "%.2fx tinyxml2 (cpu %.2fx)\n",
            Label(n), Ratio(Real("BM_Pugixml"), Real("BM_Kt")),
            Ratio(Cpu("BM_Pugixml"), Cpu("BM_Kt")), dGoals[n],
            Ratio(Real("BM_Tinyxml2"), Real("BM_Kt")), Ratio(Cpu("BM_Tinyxml2"), Cpu("BM_Kt")));
        std::printf("%-15s in place: %.2fx pugixml load_buffer_inplace (cpu %.2fx), goal >= %.1f\n",
                    Label(n), Ratio(Real("BM_PugixmlInPlace"), Real("BM_KtMove")),
                    Ratio(Cpu("BM_PugixmlInPlace"), Cpu("BM_KtMove")), dGoals[n]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Warm for every parser alike: freed blocks stay in the process instead of going back to the
    // system, so a repeated parse does not pay for fresh pages (pugixml and tinyxml2 free and
    // allocate their buffers and nodes on every parse).
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    ktbench::InitializeInterleaved(&argc, argv);
    ktbench::CMedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
