// Where a session's output goes: standard output and error in the program, a recorder in
// the tests. The session decides what to write; this decides only where.
#pragma once

#include <string>
#include <string_view>

namespace tarselftp {

class SessionOutput {
public:
    virtual ~SessionOutput() = default;
    /// Listings, replies asked for, downloads to "-": standard output.
    virtual void Out(std::string_view text) = 0;
    /// Errors, traces and notes: standard error.
    virtual void Err(std::string_view text) = 0;
    /// Draws `line` as the progress meter over the last one; an empty line removes it.
    virtual void Meter(std::string_view line) = 0;
    /// Columns the meter may use.
    virtual int MeterWidth() const = 0;
    virtual bool OutIsTerminal() const = 0;
    virtual bool ErrIsTerminal() const = 0;
    virtual void Flush() = 0;
};

/// The process's standard output and error.
class StandardOutput final : public SessionOutput {
public:
    StandardOutput();
    void Out(std::string_view text) override;
    void Err(std::string_view text) override;
    void Meter(std::string_view line) override;
    int MeterWidth() const override;
    bool OutIsTerminal() const override { return outIsTerminal_; }
    bool ErrIsTerminal() const override { return errIsTerminal_; }
    void Flush() override;

private:
    void ClearMeter();
    bool outIsTerminal_ = false;
    bool errIsTerminal_ = false;
    bool meterShown_ = false;
};

}  // namespace tarselftp
