// Runs a fuzz target without libFuzzer: every input of the given corpus files and folders,
// then a fixed number of mutations of them drawn from a fixed seed. Any compiler builds it,
// so the plain and the sanitizer test builds exercise each target the same way every run.
//
//   control_fuzz_smoke [--mutations=N] [--seed=S] [--max-len=N] FILE_OR_FOLDER...
//
// A target reports a finding by aborting, as under libFuzzer; the driver then writes the
// input it was running to smoke-crash in the working directory, where it can be replayed
// (by this program or by the libFuzzer build, which both take it as a file argument).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;

Input ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// xorshift64*: the same sequence on every platform, which std::mt19937's distributions
// do not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed ? seed : 1) {}
    std::uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 2685821657736338717ull;
    }
    std::size_t Below(std::size_t n) { return n ? static_cast<std::size_t>(Next() % n) : 0; }

private:
    std::uint64_t state_;
};

// The mutations libFuzzer starts with: flip a bit, change, insert or erase bytes, repeat a
// run, splice in a piece of another input, cut the end.
void Mutate(Input& input, const std::vector<Input>& corpus, Random& random, std::size_t maxLen) {
    const std::size_t steps = 1 + random.Below(4);
    for (std::size_t step = 0; step < steps; ++step) {
        const std::size_t at = random.Below(input.size() + 1);
        switch (random.Below(7)) {
            case 0:
                if (!input.empty()) input[random.Below(input.size())] ^= static_cast<std::uint8_t>(1u << random.Below(8));
                break;
            case 1:
                if (!input.empty()) input[random.Below(input.size())] = static_cast<std::uint8_t>(random.Next());
                break;
            case 2: {
                const std::size_t n = 1 + random.Below(8);
                for (std::size_t i = 0; i < n; ++i)
                    input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random.Next()));
                break;
            }
            case 3:
                if (at < input.size()) {
                    const std::size_t n = 1 + random.Below(std::min<std::size_t>(16, input.size() - at));
                    input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                                input.begin() + static_cast<std::ptrdiff_t>(at + n));
                }
                break;
            case 4:
                if (at < input.size()) {
                    const std::size_t n = 1 + random.Below(std::min<std::size_t>(32, input.size() - at));
                    const Input run(input.begin() + static_cast<std::ptrdiff_t>(at),
                                    input.begin() + static_cast<std::ptrdiff_t>(at + n));
                    input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), run.begin(), run.end());
                }
                break;
            case 5:
                if (!corpus.empty()) {
                    const Input& other = corpus[random.Below(corpus.size())];
                    if (!other.empty()) {
                        const std::size_t from = random.Below(other.size());
                        const std::size_t n = 1 + random.Below(other.size() - from);
                        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                                     other.begin() + static_cast<std::ptrdiff_t>(from),
                                     other.begin() + static_cast<std::ptrdiff_t>(from + n));
                    }
                }
                break;
            case 6:
                input.resize(at);
                break;
        }
    }
    if (input.size() > maxLen) input.resize(maxLen);
}

// The input under way, for the abort handler.
const Input* current = nullptr;

extern "C" void SaveCurrentInput(int signal) {
    if (current) {
        const int fd = ::open("smoke-crash", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            // Only async-signal-safe calls here.
            ssize_t ignored = ::write(fd, current->data(), current->size());
            (void)ignored;
            ::close(fd);
            static const char note[] = "\nthe failing input is in ./smoke-crash\n";
            ignored = ::write(2, note, sizeof note - 1);
        }
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void Run(const Input& input) {
    current = &input;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    current = nullptr;
}

bool Option(const char* arg, const char* name, std::uint64_t& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    value = std::strtoull(arg + length, nullptr, 10);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mutations = 1000, seed = 1, maxLen = 4096;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (Option(argv[i], "--mutations=", mutations) || Option(argv[i], "--seed=", seed) ||
            Option(argv[i], "--max-len=", maxLen))
            continue;
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(path);
        }
    }
    // Sorted, so that the mutations draw on the corpus in the same order on every machine.
    std::sort(files.begin(), files.end());

    std::signal(SIGABRT, SaveCurrentInput);
    std::vector<Input> corpus;
    for (const auto& file : files) corpus.push_back(ReadFile(file));
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        std::fprintf(stderr, "replaying %s\n", files[i].string().c_str());
        Run(corpus[i]);
    }

    Random random(seed);
    for (std::uint64_t n = 0; n < mutations; ++n) {
        Input input = corpus.empty() ? Input() : corpus[random.Below(corpus.size())];
        Mutate(input, corpus, random, maxLen);
        Run(input);
    }
    std::fprintf(stderr, "%zu inputs and %llu mutations ran clean\n", corpus.size(),
                 static_cast<unsigned long long>(mutations));
    return 0;
}
