#ifndef PLAYER_LEVELCONTROL_H
#define PLAYER_LEVELCONTROL_H

#include <array>

namespace player
{

// Decides how much audio a stream's buffer should hold and how fast to play it so that it does.
// The buffer's floor (its level just before packets arrive, the audio that stands between
// playing and running dry) is judged every quarter second of playing, and the median of the
// last two seconds of those floors is held at the target by a small, continuous change of the
// playback rate: two sound cards' clocks differ by up to a few hundred parts per million, and
// that is absorbed without a skipped or made-up sample. The target itself starts low, grows at
// once when the network was late (a dip that recovered or came near running dry, or audio that
// arrived after the buffer had run dry), and comes down slowly after a quiet spell. All times
// are in samples of played audio, so the rules can be checked without a clock.
class LevelControl
{
public:
    static constexpr int kSampleRate = 48000;
    // A sound card's pull (up to 10 ms) and a little more, until the network has shown itself.
    static constexpr int kInitialTargetMs = 12;
    static constexpr int kMinTargetMs = 10;
    static constexpr int kMaxTargetMs = 1000;
    // 2000 ppm is 3.5 cents of pitch, far below what an ear notices in a slow glide.
    static constexpr double kMaxCorrectionPpm = 2000;
    // Far above the target (after the output or the network stalled) the level comes down up to
    // 1 % faster, a sixth of a semitone for some seconds, where the hard cap would drop audio.
    static constexpr int kCatchUpAboveMs = 40;
    static constexpr double kMaxCatchUpPpm = 10000;

    // fixedTargetMs > 0 fixes the target; 0 lets it adapt.
    explicit LevelControl(int fixedTargetMs = 0);

    // Forgets the stream; the target is kept, since the network is the same.
    void restart();
    // After each pull: the level that was left, and how much was taken.
    void observe(int levelSamples, int pulledSamples);
    // The buffer ran dry while playing and concealed samples were made up so far.
    void ranDry(int concealedSamples);
    // The first pull after a dry spell: whatever arrived late has come in by now.
    void refilled(int levelSamples);

    // Audio missing from a floor that fell and stayed down, to be made up; 0 when none.
    int takeMissing();

    int targetSamples() const { return target; }
    // How much faster than the sound card to consume the stream (negative: slower).
    double correctionPpm() const { return correction; }
    bool isAdaptive() const { return adaptive; }

private:
    void endWindow();
    // The median floor of the windows from first (0: the latest) back.
    int median(int first) const;
    void grow(int samples);
    int decayStep() const;

    static constexpr int kWindowSamples = kSampleRate / 4;
    static constexpr int kFloors = 8;

    bool adaptive;
    int target;
    std::array<int, kFloors> floors{};
    int floorCount = 0;
    int windowCount = 0; // since the stream started
    int windowPulled = 0;
    int windowMin = 0;
    int concealedInDrySpell = 0;
    int quietSamples = 0;
    int missing = 0;
    double integral = 0;
    double correction = 0;
};

} // namespace player

#endif // PLAYER_LEVELCONTROL_H
