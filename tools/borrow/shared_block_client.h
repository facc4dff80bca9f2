// The other program's side of the shared control block: it makes the section "qx517sharemem",
// maps the three words at its start, and asks the driver for the display and gives it back.
//
// The block's words are written by this process and by the driver's worker thread without a lock;
// every access here is one aligned 32-bit load or store, atomic on both sides.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// How a wait on the driver ended.
enum class BlockWait {
    Done,         // the driver did what was asked
    TimedOut,     // it did not within the time given
    Interrupted,  // the caller's stop condition held first
    Busy,         // another program is borrowing the display (or asking for it)
};

class SharedBlockClient {
  public:
    // The section's name and the length the driver maps: it must be at least that long.
    static constexpr char kSectionName[] = "qx517sharemem";
    static constexpr DWORD kSectionLength = 255;
    // Values of the state word.
    static constexpr std::int32_t kPauseRequest = 101;
    static constexpr std::int32_t kPausedAnswer = 102;
    static constexpr std::int32_t kResumeRequest = 200;
    // Written while waiting for the driver: no driver ever publishes it, and a running driver
    // replaces it with its port number on its next tick.
    static constexpr std::int32_t kNotYetPublished = -1;

    SharedBlockClient() = default;
    ~SharedBlockClient() { Close(); }
    SharedBlockClient(const SharedBlockClient&) = delete;
    SharedBlockClient& operator=(const SharedBlockClient&) = delete;

    // Makes the section (or opens it, if another program or a driver still holds it) and maps
    // its first bytes. False, with the failing call and its error in `error`, when it cannot.
    bool Open(std::string& error);

    // Waits until a driver has attached to the section and published its port number, which it
    // returns in `port` (0: none). Busy, with the word in `port`, when the block already shows a
    // request or an answer of another program.
    BlockWait WaitForDriver(DWORD timeoutMs, const std::function<bool()>& stop, std::int32_t& port);

    // Asks the driver to let the display go and waits for its answer; then `id1` and `id2` hold
    // the display's two identification bytes. Whatever the outcome, the display counts as
    // borrowed from here on and must be handed back.
    BlockWait RequestDisplay(DWORD timeoutMs, const std::function<bool()>& stop, std::uint8_t& id1,
                             std::uint8_t& id2);

    // Whether the display was asked for and not yet handed back.
    bool Borrowed() const { return m_requested && !m_handedBack.load(); }

    // Hands the display back: 200 plus `leave` in the state word, which the driver replaces with
    // `leave`. Written once, however often it is called, from any thread (the console's last-chance
    // handler among them); does nothing when the display was never asked for.
    void HandBack(std::int32_t leave);

    // Waits until the driver has taken the hand-back (the word no longer holds it).
    BlockWait WaitForHandBack(DWORD timeoutMs);

    // Unmaps the view and closes the section.
    void Close();

  private:
    std::int32_t LoadState() const;
    void StoreState(std::int32_t value);
    // Polls the state word until `done` holds for its value; TimedOut after `timeoutMs`,
    // Interrupted as soon as `stop` holds.
    BlockWait WaitFor(const std::function<bool(std::int32_t)>& done, DWORD timeoutMs,
                      const std::function<bool()>& stop) const;

    HANDLE m_section = nullptr;
    // The block's words: state, then the two identification bytes, zero-extended.
    std::int32_t* m_words = nullptr;
    bool m_requested = false;  // main thread
    // Main thread and the last-chance handler: whether the hand-back was written, and its value.
    std::atomic<bool> m_handedBack{false};
    std::atomic<std::int32_t> m_handBackValue{0};
};
