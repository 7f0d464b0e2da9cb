// Standard input read on a thread of its own, for a loop that must also wait
// for sockets or events and cannot poll stdin beside them (on Windows a
// console or pipe handle cannot join a socket or event wait). The thread
// reads whatever comes, keeps it until the loop takes it, and calls the
// given notifier after each read so that the loop can be woken.
//
// At end of input (or a read error) the reader stops; Take then says so. A
// reader still blocked in its read when the owner goes is left to the
// process's end: the state it touches is shared, so nothing dangles.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace plat {

class StdinReader {
public:
    // Starts the thread; onInput runs on it after every read and at the end
    // (quick, and never calling Take), never after the reader is destroyed.
    explicit StdinReader(std::function<void()> onInput = {});
    ~StdinReader();
    StdinReader(const StdinReader&) = delete;
    StdinReader& operator=(const StdinReader&) = delete;

    // Appends the bytes read since the last call to strOut; false once input
    // has ended and everything read was taken.
    bool Take(std::string& strOut);

private:
    struct Shared;
    std::shared_ptr<Shared> m_pShared;
};

}  // namespace plat
