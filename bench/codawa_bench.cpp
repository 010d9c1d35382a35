// Throughput of the code conversions against the C library's iconv on the same inputs.
//
// Inputs, generated here: a mixed Japanese text of 32 MiB in Shift_JIS (every JIS X 0208
// character in turn, ASCII words, half-width katakana, CR LF line ends; with its EUC-JP,
// JIS and UTF-8 forms) and a pure-ASCII text of 32 MiB. Rates are MB/s of input. After the runs a
// table gives each conversion's rate beside iconv's and their ratio. With
// --write_inputs=DIR it only saves the texts (mixed.sjis, mixed.euc, mixed.jis, mixed.utf8, ascii.txt). Rates are per CPU
// second of the benchmark thread, so that other work on the machine does not count. With
// --benchmark_repetitions=N (best with --benchmark_enable_random_interleaving, which spreads
// each conversion's repetitions over the whole run) the table gives each conversion's
// fastest repetition and its median one.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <tarsel/codawa.h>

#include "code_converters/utf8_stream_converter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using tarselctl::Codawa;
using Method = std::string (Codawa::*)(std::string&);

constexpr std::size_t kTextSize = 32u << 20;
constexpr std::size_t kChunk = 64u << 10;
// iconv is the yardstick, timed once a run whatever --benchmark_repetitions asks of the
// converters: some of its directions take seconds per pass.
constexpr int kIconvRepetitions = 1;

std::string IconvOnce(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    std::string out(in.size() * 4 + 16, '\0');
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    std::size_t il = in.size(), ol = out.size();
    std::size_t rc = iconv(cd, &ip, &il, &op, &ol);
    iconv(cd, nullptr, nullptr, &op, &ol);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || il != 0) return {};
    out.resize(out.size() - ol);
    return out;
}

// Shift_JIS codes of JIS X 0208: the row 1-84 codes the C library's ISO-2022-JP-3 reads.
std::vector<std::string> JisX0208InSjis() {
    std::vector<std::string> codes;
    for (unsigned row = 0x21; row <= 0x74; ++row) {
        for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
            std::string jis = std::string("\x1b$B") + char(row) + char(cell) + "\x1b(B";
            std::string sjis = IconvOnce("CP932", "ISO-2022-JP-3", jis);
            // Only those iconv also writes back (it has no JIS form for a few CP932 codes
            // such as FULLWIDTH CENT SIGN), so that every direction can run on the text.
            if (sjis.size() == 2 && !IconvOnce("ISO-2022-JP-3", "CP932", sjis).empty()) codes.push_back(sjis);
        }
    }
    return codes;
}

struct Texts {
    std::string sjis, euc, jis, utf8, ascii;
};

const Texts& Inputs() {
    static const Texts texts = [] {
        Texts t;
        const std::vector<std::string> kanji = JisX0208InSjis();
        std::uint32_t seed = 12345;
        auto next = [&](std::uint32_t n) {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) % n;
        };
        std::size_t k = 0, line = 0;
        t.sjis.reserve(kTextSize + 256);
        while (t.sjis.size() < kTextSize) {
            const std::size_t before = t.sjis.size();
            switch (next(10)) {
                case 0: case 1: case 2:  // an ASCII word
                    for (std::uint32_t i = 2 + next(10); i > 0; --i) t.sjis += char('a' + next(26));
                    t.sjis += ' ';
                    break;
                case 3:  // half-width katakana
                    for (std::uint32_t i = 2 + next(6); i > 0; --i) t.sjis += char(0xA6 + next(0xDF - 0xA6));
                    break;
                default:  // two-byte text, every JIS X 0208 character in turn
                    for (std::uint32_t i = 4 + next(20); i > 0; --i) t.sjis += kanji[k++ % kanji.size()];
            }
            line += t.sjis.size() - before;
            if (line > 60 + next(20)) {
                t.sjis += "\r\n";
                line = 0;
            }
        }
        t.euc = IconvOnce("EUC-JP-MS", "CP932", t.sjis);
        t.utf8 = IconvOnce("UTF-8", "CP932", t.sjis);
        auto codawa = tarselctl::CreateCodawa();
        std::string copy = t.sjis;
        t.jis = codawa->SjisToJis(copy);
        const char* words[] = {"drwxr-xr-x ", "2 ftp ", "ftp ", "4096 ", "Jun  7 12:00 ", "pub\r\n",
                               "-rw-r--r-- ", "1 user ", "group ", "1234567 ", "readme.txt\r\n"};
        for (std::size_t i = 0; t.ascii.size() < kTextSize; ++i) t.ascii += words[i % 11];
        if (t.euc.empty() || t.utf8.empty() || IconvOnce("CP932", "ISO-2022-JP-3", t.jis) != t.sjis) {
            std::fprintf(stderr, "the generated text does not convert with iconv\n");
            std::abort();
        }
        return t;
    }();
    return texts;
}

const std::string& Input(const std::string& which) {
    const Texts& t = Inputs();
    if (which == "sjis") return t.sjis;
    if (which == "euc") return t.euc;
    if (which == "jis") return t.jis;
    if (which == "utf8") return t.utf8;
    return t.ascii;
}

void Ours(benchmark::State& state, Method method, const char* code_name, std::string input_name) {
    const std::string& input = Input(input_name);
    auto codawa = tarselctl::CreateCodawa();
    codawa->put_CodeName(tarselctl::String(code_name, code_name + std::char_traits<char>::length(code_name)));
    std::string buffer;
    for (auto _ : state) {
        state.PauseTiming();
        buffer = input;
        state.ResumeTiming();
        std::string out = ((*codawa).*method)(buffer);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void OursStreaming(benchmark::State& state, Method method, const char* code_name, std::string input_name) {
    const std::string& input = Input(input_name);
    auto codawa = tarselctl::CreateCodawa();
    codawa->put_CodeName(tarselctl::String(code_name, code_name + std::char_traits<char>::length(code_name)));
    for (auto _ : state) {
        std::string carry;
        std::size_t produced = 0;
        for (std::size_t at = 0; at < input.size(); at += kChunk) {
            carry.append(input, at, kChunk);
            std::string out = ((*codawa).*method)(carry);
            produced += out.size();
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

using tarselctl::TextCode;
using tarselctl::Utf8StreamConverter;

void OursUtf8(benchmark::State& state, TextCode from, TextCode to, std::string input_name) {
    const std::string& input = Input(input_name);
    Utf8StreamConverter converter(from, to);
    for (auto _ : state) {
        std::string out = converter.Convert(input);
        converter.Finish();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void OursUtf8Streaming(benchmark::State& state, TextCode from, TextCode to, std::string input_name) {
    const std::string& input = Input(input_name);
    Utf8StreamConverter converter(from, to);
    for (auto _ : state) {
        std::size_t produced = 0;
        for (std::size_t at = 0; at < input.size(); at += kChunk) {
            std::string out = converter.Convert(std::string_view(input).substr(at, kChunk));
            produced += out.size();
            benchmark::DoNotOptimize(out.data());
        }
        produced += converter.Finish().size();
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void Iconv(benchmark::State& state, const char* to, const char* from, std::string input_name) {
    const std::string& input = Input(input_name);
    iconv_t cd = iconv_open(to, from);
    std::string out(input.size() * 4 + 16, '\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(input.data());
        char* op = out.data();
        std::size_t il = input.size(), ol = out.size();
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1)) state.SkipWithError("iconv failed");
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

// What a fresh output string costs by itself: allocating and filling as much memory as a
// one-shot conversion of the mixed text writes (its pages are new to the process each time).
void FreshOutputString(benchmark::State& state) {
    const std::string& input = Input("sjis");
    for (auto _ : state) {
        std::string out(input.size() + input.size() / 8, '\0');
        std::memcpy(out.data(), input.data(), input.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

// Conversion, its input, and the iconv conversion it is compared with.
struct Direction {
    const char* name;
    Method method;
    const char* code_name;
    const char* input;
    const char* iconv_to;
    const char* iconv_from;
};

const Direction kDirections[] = {
    {"SjisToEuc", &Codawa::SjisToEuc, "SJIS", "sjis", "EUC-JP-MS", "CP932"},
    {"EucToSjis", &Codawa::EucToSjis, "SJIS", "euc", "CP932", "EUC-JP-MS"},
    {"SjisToJis", &Codawa::SjisToJis, "SJIS", "sjis", "ISO-2022-JP-3", "CP932"},
    {"JisToSjis", &Codawa::JisToSjis, "SJIS", "jis", "CP932", "ISO-2022-JP-3"},
    {"ToSjis(EUC)", &Codawa::ToSjis, "EUC", "euc", "CP932", "EUC-JP-MS"},
    {"SjisToSjis", &Codawa::SjisToSjis, "SJIS", "sjis", "CP932", "CP932"},
};

// A UTF-8 conversion, its input, and the iconv conversion it is compared with.
struct Utf8Direction {
    const char* name;
    TextCode from;
    TextCode to;
    const char* input;
    const char* iconv_to;
    const char* iconv_from;
};

const Utf8Direction kUtf8Directions[] = {
    {"SjisToUtf8", TextCode::Sjis, TextCode::Utf8, "sjis", "UTF-8", "CP932"},
    {"EucToUtf8", TextCode::Euc, TextCode::Utf8, "euc", "UTF-8", "EUC-JP-MS"},
    {"JisToUtf8", TextCode::Jis, TextCode::Utf8, "jis", "UTF-8", "ISO-2022-JP-3"},
    {"Utf8ToSjis", TextCode::Utf8, TextCode::Sjis, "utf8", "CP932", "UTF-8"},
    {"Utf8ToEuc", TextCode::Utf8, TextCode::Euc, "utf8", "EUC-JP-MS", "UTF-8"},
    {"Utf8ToJis", TextCode::Utf8, TextCode::Jis, "utf8", "ISO-2022-JP-3", "UTF-8"},
    {"Utf8ToUtf8", TextCode::Utf8, TextCode::Utf8, "utf8", "UTF-8", "UTF-8"},
};

void Register() {
    benchmark::RegisterBenchmark("baseline/fresh-output-string/mixed", FreshOutputString)->Unit(benchmark::kMillisecond);
    for (const Direction& d : kDirections) {
        const std::string name = d.name;
        for (const std::string text : {"mixed", "ascii"}) {
            const std::string input = text == "mixed" ? d.input : "ascii";
            benchmark::RegisterBenchmark(("codawa/" + name + "/" + text).c_str(), Ours, d.method, d.code_name, input)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("iconv/" + name + "/" + text).c_str(), Iconv, d.iconv_to, d.iconv_from, input)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(kIconvRepetitions);
        }
        benchmark::RegisterBenchmark(("codawa/" + name + "/mixed-64KiB-chunks").c_str(), OursStreaming, d.method,
                                     d.code_name, std::string(d.input))
            ->Unit(benchmark::kMillisecond);
    }
    for (const Utf8Direction& d : kUtf8Directions) {
        const std::string name = d.name;
        for (const std::string text : {"mixed", "ascii"}) {
            const std::string input = text == "mixed" ? d.input : "ascii";
            benchmark::RegisterBenchmark(("codawa/" + name + "/" + text).c_str(), OursUtf8, d.from, d.to, input)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("iconv/" + name + "/" + text).c_str(), Iconv, d.iconv_to, d.iconv_from, input)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(kIconvRepetitions);
        }
        benchmark::RegisterBenchmark(("codawa/" + name + "/mixed-64KiB-chunks").c_str(), OursUtf8Streaming, d.from,
                                     d.to, std::string(d.input))
            ->Unit(benchmark::kMillisecond);
    }
}

// Prints the usual console lines, and keeps every repetition's rate for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates[run.run_name.function_name].push_back(it->second.value / 1e6);
        }
    }
    std::map<std::string, std::vector<double>> rates;
};

// The fastest repetition and the median one. Another program on the machine can only slow a
// repetition down, never speed it up, so the fastest is the estimate of the code's own speed;
// the median shows how much the machine moved under it.
struct Figure {
    double best = 0;
    double median = 0;
};

Figure Summarize(std::vector<double> rates) {
    if (rates.empty()) return {};
    std::sort(rates.begin(), rates.end());
    const std::size_t n = rates.size();
    return {rates.back(), n % 2 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2};
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // --write_inputs=DIR: also save the generated texts, to time other tools on them.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--write_inputs=", 0) != 0) continue;
        const std::string dir = arg.substr(15);
        const Texts& t = Inputs();
        for (const auto& [name, text] : {std::pair{"mixed.sjis", &t.sjis}, {"mixed.euc", &t.euc}, {"mixed.jis", &t.jis},
                                         {"mixed.utf8", &t.utf8}, {"ascii.txt", &t.ascii}}) {
            std::ofstream(dir + "/" + name, std::ios::binary) << *text;
        }
        return 0;
    }
    Inputs();
    Register();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto figure = [&](const std::string& name) {
        auto it = reporter.rates.find(name);
        return it == reporter.rates.end() ? Figure{} : Summarize(it->second);
    };
    std::printf("\n%-13s %-20s %12s %13s %12s %8s\n", "conversion", "input", "codawa best", "codawa median",
                "iconv MB/s", "ratio");
    std::vector<const char*> names;
    for (const Direction& d : kDirections) names.push_back(d.name);
    for (const Utf8Direction& d : kUtf8Directions) names.push_back(d.name);
    for (const char* name : names) {
        for (const char* text : {"mixed", "ascii"}) {
            const Figure ours = figure(std::string("codawa/") + name + "/" + text);
            const Figure theirs = figure(std::string("iconv/") + name + "/" + text);
            if (ours.best == 0) continue;
            std::printf("%-13s %-20s %12.0f %13.0f %12.0f %7.1fx\n", name, text, ours.best, ours.median, theirs.best,
                        theirs.best ? ours.best / theirs.best : 0);
        }
        const Figure one_shot = figure(std::string("codawa/") + name + "/mixed");
        const Figure streamed = figure(std::string("codawa/") + name + "/mixed-64KiB-chunks");
        if (streamed.best != 0) {
            std::printf("%-13s %-20s %12.0f %13.0f %12s %7.0f%% of one-shot\n", name, "mixed, 64 KiB chunks",
                        streamed.best, streamed.median, "", one_shot.best ? 100 * streamed.best / one_shot.best : 0);
        }
    }
    const Figure baseline = figure("baseline/fresh-output-string/mixed");
    std::printf("%-13s %-20s %12.0f %13.0f   (allocating and filling a fresh string of the output's size)\n",
                "baseline", "mixed", baseline.best, baseline.median);
    std::printf("(text: %zu bytes mixed Japanese, %zu bytes ASCII; Shift_JIS -> Shift_JIS against iconv CP932 -> CP932)\n",
                Inputs().sjis.size(), Inputs().ascii.size());
    benchmark::Shutdown();
    return 0;
}
