// cp932.cpp: converts the messages' code page 932 bytes to UTF-8 with a table of the characters the
// messages use, for a system that has no converter of its own.
#include "cp932.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

// Every double-byte character of the messages, by its code page 932 code, in ascending order.
struct Glyph {
    uint16_t code;
    const char* utf8;
};
constexpr Glyph kGlyphs[] = {
    {0x815B, "\xE3\x83\xBC"},  // ー
    {0x82A0, "\xE3\x81\x82"},  // あ
    {0x82B5, "\xE3\x81\x97"},  // し
    {0x82B9, "\xE3\x81\x9B"},  // せ
    {0x82BD, "\xE3\x81\x9F"},  // た
    {0x82C5, "\xE3\x81\xA7"},  // で
    {0x82CD, "\xE3\x81\xAF"},  // は
    {0x82DC, "\xE3\x81\xBE"},  // ま
    {0x82E8, "\xE3\x82\x8A"},  // り
    {0x82F0, "\xE3\x82\x92"},  // を
    {0x82F1, "\xE3\x82\x93"},  // ん
    {0x8340, "\xE3\x82\xA1"},  // ァ
    {0x8343, "\xE3\x82\xA4"},  // イ
    {0x8347, "\xE3\x82\xA8"},  // エ
    {0x836C, "\xE3\x83\x8D"},  // ネ
    {0x8374, "\xE3\x83\x95"},  // フ
    {0x837E, "\xE3\x83\x9F"},  // ミ
    {0x8380, "\xE3\x83\xA0"},  // ム
    {0x8389, "\xE3\x83\xA9"},  // ラ
    {0x838A, "\xE3\x83\xAA"},  // リ
    {0x838B, "\xE3\x83\xAB"},  // ル
    {0x8A6D, "\xE7\xA2\xBA"},  // 確
    {0x8AAE, "\xE5\xAE\x8C"},  // 完
    {0x8C78, "\xE8\xAD\xA6"},  // 警
    {0x8D90, "\xE5\x91\x8A"},  // 告
    {0x8D9E, "\xE8\xBE\xBC"},  // 込
    {0x90AE, "\xE6\x95\xB4"},  // 整
    {0x93C7, "\xE8\xAA\xAD"},  // 読
    {0x9446, "\xE8\xAA\x8D"},  // 認
    {0x97B9, "\xE4\xBA\x86"},  // 了
    {0x97F1, "\xE5\x88\x97"},  // 列
};

bool IsLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0; }

}  // namespace

std::string Cp932ToUtf8Builtin(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p < 0x80) {
            out += static_cast<char>(*p);
            continue;
        }
        if (!IsLeadByte(*p) || p[1] == 0) {
            out += kCp932Replacement;
            continue;
        }
        const uint16_t code = static_cast<uint16_t>(p[0] << 8 | p[1]);
        ++p;
        const Glyph* glyph = std::lower_bound(std::begin(kGlyphs), std::end(kGlyphs), code,
                                              [](const Glyph& g, uint16_t c) { return g.code < c; });
        out += glyph != std::end(kGlyphs) && glyph->code == code ? glyph->utf8 : kCp932Replacement;
    }
    return out;
}

