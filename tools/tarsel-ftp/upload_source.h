// The local side of one upload: the file whose blocks PutData hands to the control.
#pragma once

#include <cstdint>
#include <string>

#include <tarsel/types.h>

namespace tarselftp {

/// Reads a regular file block by block, never the whole file at once, and never hands over
/// a one-byte block while data remains (see NextBlockSize).
class UploadSource {
public:
    UploadSource() = default;
    ~UploadSource();
    UploadSource(const UploadSource&) = delete;
    UploadSource& operator=(const UploadSource&) = delete;

    /// Opens `path` and checks that it can be uploaded (a regular file). Error message or "".
    std::string Open(const std::string& path, std::uint32_t chunk);
    /// Uploads what standard input holds until its end ("put - REMOTE"). Its length is not
    /// known, so two bytes are always read ahead: the last block can then never be a lone
    /// byte unless the whole input is one byte.
    std::string OpenStandardInput(std::uint32_t chunk);
    /// Fills `block` with the next block; leaves it empty at the end of the file. Error
    /// message or "" (the file shrank, or a read failed).
    std::string Next(tarselctl::ByteArray& block);
    void Close();
    /// Continues an upload: the next block starts at `offset` of the file. Error message or
    /// "" (the offset lies past the end).
    std::string SkipTo(std::uint64_t offset);

    /// The file's size; 0 for standard input.
    std::uint64_t Size() const { return size_; }
    bool IsStream() const { return stream_; }
    std::uint64_t BytesRead() const { return read_; }
    /// Every byte has been handed over: the block just read is the last (the control is told
    /// with EndUpload, so that even a lone zero byte goes out as data).
    bool AtEnd() const { return stream_ ? streamEnded_ && ahead_.empty() : read_ >= size_; }

private:
    std::string path_;
    int fd_ = -1;
    std::uint32_t chunk_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t read_ = 0;
    /// Standard input: bytes read ahead of what was handed over, and whether it has ended.
    bool stream_ = false;
    bool streamEnded_ = false;
    std::string ahead_;
    std::string FillAhead(std::size_t want);
    std::string NextFromStream(tarselctl::ByteArray& block);
};

}  // namespace tarselftp
