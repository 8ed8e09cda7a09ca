// Block files on disk: one encrypted file per block identifier under
// <data>/blocks/, blocks being stored staged under <data>/tmp/. Every path is
// built from a validated identifier or a random name, never from client text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace emu {

std::string RandomHex(size_t bytes);
// SHA-1 hex of a whole file; empty when it cannot be read.
std::string FileSha1Hex(const std::string& path, int64_t* size = nullptr);

// 46 characters: six hex digits of the size and a 40-digit SHA-1, lower case.
bool IsBlockId(std::string_view id);
int64_t BlockIdSize(std::string_view id);

constexpr int64_t kBlockSize = 4194304;

class BlockFiles {
public:
    // Creates the folders; leftovers of an earlier run in tmp/ are removed.
    void Open(const std::string& dataDir);
    std::string NewTempPath() const;
    std::string PathFor(std::string_view blockId) const;  // the folder is created
    bool Has(std::string_view blockId) const;
    void Remove(std::string_view blockId) const;

    // Decodes the encrypted block file with its key and checks the plain bytes
    // against the identifier's size and SHA-1. False with a reason otherwise.
    bool Verify(const std::string& encPath, std::string_view key, std::string_view blockId, std::string& why) const;
    // The same check of a block file received into memory. A current-format
    // block is checked in memory; a legacy one through a file: `onDisk` when it
    // names a file holding the same bytes, else a temporary one.
    bool VerifyBytes(const std::string& bytes, std::string_view key, std::string_view blockId,
                     const std::string& onDisk, std::string& why) const;

private:
    std::string root_;
};

}  // namespace emu
