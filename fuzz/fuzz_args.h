// Shared by the command-line fuzz targets: the fuzzer's bytes as an argument
// vector, one argument per NUL-separated piece, behind the program's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

class Arguments {
public:
    Arguments(const char* program, const std::uint8_t* data, std::size_t size) {
        words_.emplace_back(program);
        std::string word;
        for (std::size_t i = 0; i < size && words_.size() < kMaxWords; ++i) {
            if (data[i] == 0) {
                words_.push_back(word);
                word.clear();
            } else {
                word.push_back(static_cast<char>(data[i]));
            }
        }
        if (!word.empty() && words_.size() < kMaxWords) words_.push_back(word);
        for (const std::string& w : words_) argv_.push_back(w.c_str());
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    const char* const* argv() const { return argv_.data(); }

private:
    static constexpr std::size_t kMaxWords = 64;
    std::vector<std::string> words_;
    std::vector<const char*> argv_;
};

}  // namespace fuzz
