#include "support/fake_platform.h"

#include <tarsel/codawa.h>

namespace tarselctl {

std::unique_ptr<Soquet> FakePlatform::CreateSoquet() {
    const std::size_t index = soquets.size();
    auto soquet = std::make_unique<FakeSoquet>("Soquet" + std::to_string(index + 1), &calls);
    soquet->onDestroyed = [this, index] { soquets[index] = nullptr; };
    soquets.push_back(soquet.get());
    if (injectFailures) return WithFailures(std::move(soquet), failures);
    return soquet;
}

std::unique_ptr<Codawa> FakePlatform::CreateCodawa() {
    const std::size_t index = codawas.size();
    std::unique_ptr<Codawa> codawa;
    if (codawaFactory) {
        codawa = codawaFactory();
    } else if (codawaKind == CodawaKind::Real) {
        codawa = tarselctl::CreateCodawa();
    } else {
        codawa = std::make_unique<FakeCodawa>("Codawa" + std::to_string(index + 1));
    }
    if (auto* fake = dynamic_cast<FakeCodawa*>(codawa.get()))
        fake->onDestroyed = [this, index] { codawas[index] = nullptr; };
    codawas.push_back(codawa.get());
    if (injectFailures)
        return WithFailures(std::move(codawa), "Codawa" + std::to_string(index + 1), failures);
    return codawa;
}

std::unique_ptr<Timer> FakePlatform::CreateTimer() {
    const std::size_t index = timers.size();
    auto timer = std::make_unique<FakeTimer>("Timer" + std::to_string(index + 1));
    timer->onDestroyed = [this, index] { timers[index] = nullptr; };
    timers.push_back(timer.get());
    if (injectFailures) return WithFailures(std::move(timer), failures);
    return timer;
}

bool FakePlatform::RunPosted() {
    if (posted.empty()) return false;
    auto work = std::move(posted.front());
    posted.pop_front();
    work();
    return true;
}

FakeCodawa* FakePlatform::fakeCodawa(std::size_t index) const {
    return index < codawas.size() ? dynamic_cast<FakeCodawa*>(codawas[index]) : nullptr;
}

}  // namespace tarselctl
