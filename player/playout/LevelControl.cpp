#include "LevelControl.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace player
{

namespace
{
constexpr int kMs = LevelControl::kSampleRate / 1000;
// What the floor keeps in hand above a dip the network has shown.
constexpr int kMarginSamples = 10 * kMs;
// A floor this low was a near miss: one more pull, or a packet a little later, and it had run
// dry. (On a busy machine dips of 10 ms come every few seconds; a target that had come down to
// 10 ms ran dry every few minutes.)
constexpr int kNearMissSamples = 5 * kMs;
// A sender's first packets come unevenly; the near misses of the first seconds are left to the
// rate (a target grown there would hold for the next minute on a quiet network).
constexpr int kSettlingWindows = 4 * 4;
// The largest packet the sender makes: a refill that brings more than the made-up audio and one
// packet brought audio that had been late, not lost.
constexpr int kLargestPacketSamples = 20 * kMs;
// A time constant of 5 s: 200 ppm for each ms off target, critically damped. (The floor steps
// by a pull, 5 ms, when the sender's timing slides against the sound card; 15 s left such a
// step standing through the first seconds of a stream.)
constexpr double kProportionalPpmPerMs = 1e6 / 5.0 / 1000;
constexpr double kIntegralPpmPerMsWindow =
    kProportionalPpmPerMs * kProportionalPpmPerMs / 4 / 1e6 * 1000 / 4;
// Errors within this are noise of the measurement, not drift.
constexpr int kDeadbandSamples = kMs;
// After a minute without a reason to grow (a network that is late a few times a minute keeps
// its target), the target comes down an eighth of the way every ten seconds.
constexpr int kQuietSamples = 60 * LevelControl::kSampleRate;
constexpr int kDecayStepSamples = 10 * LevelControl::kSampleRate;
// Made up at once for a fallen floor, at most; more comes from the buffer running dry.
constexpr int kMaxMadeUpSamples = 40 * kMs;
} // namespace

LevelControl::LevelControl(int fixedTargetMs)
    : adaptive(fixedTargetMs <= 0)
    , target((adaptive ? kInitialTargetMs : fixedTargetMs) * kMs)
{
    restart();
}

void LevelControl::restart()
{
    floorCount = 0;
    windowCount = 0;
    windowPulled = 0;
    windowMin = INT_MAX;
    concealedInDrySpell = 0;
    missing = 0;
    integral = 0;
    correction = 0;
}

int LevelControl::decayStep() const
{
    return std::max(kMs, (target - kMinTargetMs * kMs) / 8);
}

void LevelControl::grow(int samples)
{
    // Whether or not it grows, the network has shown its jitter: no coming down below what it
    // needs. A need the target holds with a step to spare (the usual jitter, once an overload
    // has grown the target) lets it come down as after any spike.
    if (samples > target - decayStep()) {
        quietSamples = 0;
    }
    if (adaptive && samples > target) {
        target = std::min(samples, kMaxTargetMs * kMs);
    }
}

int LevelControl::takeMissing()
{
    return std::exchange(missing, 0);
}

void LevelControl::ranDry(int concealedSamples)
{
    concealedInDrySpell = concealedSamples;
}

void LevelControl::refilled(int levelSamples)
{
    if (levelSamples >= concealedInDrySpell + kLargestPacketSamples) {
        // What should have been played while the buffer was dry arrived after all: the network
        // was that late, so hold that much more than was held. (Not more than the target: while
        // the level still climbs to a target that has just grown, each late packet would grow
        // it again, ever further out of the rate's reach.)
        const int held = floorCount > 0 ? std::min(target, median(0)) : target;
        grow(held + concealedInDrySpell + kMarginSamples);
    }
    concealedInDrySpell = 0;
    // The dry spell is no floor the rate should answer.
    windowMin = INT_MAX;
}

void LevelControl::observe(int levelSamples, int pulledSamples)
{
    windowMin = std::min(windowMin, levelSamples);
    windowPulled += pulledSamples;
    quietSamples += pulledSamples;
    if (windowPulled >= kWindowSamples) {
        endWindow();
    }
}

int LevelControl::median(int first) const
{
    std::array<int, kFloors> sorted;
    sorted.fill(INT_MAX);
    std::copy(floors.begin() + first, floors.begin() + floorCount, sorted.begin());
    std::sort(sorted.begin(), sorted.end());
    return sorted[(floorCount - first) / 2];
}

void LevelControl::endWindow()
{
    std::copy_backward(floors.begin(), floors.end() - 1, floors.end());
    floors[0] = windowMin == INT_MAX ? target : windowMin;
    floorCount = std::min(floorCount + 1, kFloors);
    windowCount = std::min(windowCount + 1, kSettlingWindows + 1);
    windowMin = INT_MAX;
    windowPulled = 0;
    if (floorCount >= 5) {
        // Against the floor of the seconds before: a dip that recovered is the network's jitter,
        // to be held in hand with a margin; a fall that stayed down for three windows is audio
        // that never came (late audio would have arrived by now), made up in one go.
        const int usual = median(3);
        // A dip this deep leaves the margin once the level is at the target. (Not measured from
        // the target: the level lags it after the target has moved, up or down.)
        const auto holdDip = [&](int dip) {
            grow(dip + kMarginSamples);
        };
        const int dip = usual - floors[1];
        if (dip >= 20 * kMs && floors[0] > usual - dip / 2) {
            holdDip(dip);
        }
        if (floors[0] < kNearMissSamples && windowCount > kSettlingWindows) {
            holdDip(usual - floors[0]);
        }
        // (A packet's worth: the sound card's pulls make the floor step by up to 10 ms as the
        // sender's clock slides against them.)
        const int fallen = usual - *std::max_element(floors.begin(), floors.begin() + 3);
        if (fallen >= 20 * kMs) {
            missing = std::min(fallen, kMaxMadeUpSamples) / (10 * kMs) * (10 * kMs);
            std::fill(floors.begin(), floors.begin() + 3, usual);
        }
    }
    // The rate answers the median floor of the last two seconds, so a single spike moves it
    // little; it starts once a second of the stream has been seen.
    if (floorCount >= 4) {
        int error = median(0) - target;
        if (std::abs(error) <= kDeadbandSamples) {
            error = 0;
        }
        const double errorMs = double(error) / kMs;
        const double limit = errorMs > kCatchUpAboveMs ? kMaxCatchUpPpm : kMaxCorrectionPpm;
        const double proportional = kProportionalPpmPerMs * errorMs;
        // Only while the rate is free to move: an integral wound up while the rate was held at
        // its limit (the level far from a target that had just moved) would carry the level past
        // the target and hold it there for a minute, the rate at its limit again the other way.
        const double next = integral + kIntegralPpmPerMsWindow * errorMs;
        if (std::abs(proportional + next) < limit) {
            integral = std::clamp(next, -kMaxCorrectionPpm, kMaxCorrectionPpm);
        }
        correction = std::clamp(proportional + integral, -limit, limit);
    }
    if (adaptive && quietSamples >= kQuietSamples) {
        quietSamples -= kDecayStepSamples;
        target = std::max(kMinTargetMs * kMs, target - decayStep());
    }
}

} // namespace player
