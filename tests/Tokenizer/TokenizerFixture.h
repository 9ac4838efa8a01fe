#pragma once
// A tokenizer over a vocabulary written into a real GGUF file.
#include <memory>
#include <string>
#include <vector>

#include "engine/vm_cabi/bpe_tokenizer.h"
#include "engine/vm_cabi/gguf_file.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

// GPT-2 byte-to-unicode, written out independently of the tokenizer.
inline std::string byteSymbol(unsigned char b) {
    auto printable = [](unsigned c) { return (c >= 33 && c <= 126) || (c >= 161 && c <= 172) || c >= 174; };
    unsigned code = b;
    if (!printable(b)) {
        code = 256;
        for (unsigned c = 0; c < b; ++c) code += printable(c) ? 0 : 1;
    }
    std::string s;
    if (code < 0x80) {
        s += char(code);
    } else {
        s += char(0xC0 | (code >> 6));
        s += char(0x80 | (code & 0x3F));
    }
    return s;
}

inline std::string byteEncoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += byteSymbol(c);
    return out;
}

struct Vocab {
    std::vector<std::string> tokens;
    std::vector<std::string> merges;

    // All 256 byte symbols first (id = byte value).
    static Vocab bytes() {
        Vocab v;
        for (int b = 0; b < 256; ++b) v.tokens.push_back(byteSymbol((unsigned char)b));
        return v;
    }
    // Merges that build `word` left to right, each result added as a token.
    void chain(const std::string& word) {
        std::string acc = byteSymbol((unsigned char)word[0]);
        for (size_t i = 1; i < word.size(); ++i) {
            std::string next = byteSymbol((unsigned char)word[i]);
            merges.push_back(acc + " " + next);
            acc += next;
            tokens.push_back(acc);
        }
    }
    int id(const std::string& token) const {
        for (size_t i = tokens.size(); i-- > 0;)
            if (tokens[i] == token) return int(i);
        return -1;
    }
};

class TokenizerFixture {
public:
    explicit TokenizerFixture(const Vocab& v) {
        GGUFWriter w;
        if (!v.tokens.empty()) w.strings("tokenizer.ggml.tokens", v.tokens);
        if (!v.merges.empty()) w.strings("tokenizer.ggml.merges", v.merges);
        file_ = std::make_unique<GGUFFile>(w.write(dir_.file("vocab.gguf")));
        tok_ = std::make_unique<BPETokenizer>(*file_);
    }
    const BPETokenizer& tok() const { return *tok_; }

    std::string decode(const std::vector<int32_t>& ids) const {
        std::string out;
        std::string buf(1 << 16, '\0');
        for (int32_t id : ids) out.append(buf.data(), tok_->detok_into(id, buf.data(), buf.size()));
        return out;
    }
    std::vector<std::string> pieces(const std::string& text) const {
        std::vector<std::string> out;
        for (auto [b, e] : tok_->pretokenize(BPETokenizer::decode_utf8(text), text)) out.push_back(text.substr(b, e - b));
        return out;
    }

private:
    TempDir dir_;
    std::unique_ptr<GGUFFile> file_;
    std::unique_ptr<BPETokenizer> tok_;
};

} // namespace vivirov::test
