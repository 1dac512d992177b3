// Building comparable keys from records: text as bytes, unsigned integers big-endian.
#include "keys.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <sstream>

namespace qm::isam {

int IndexLayout::SegmentBytes() const {
    int n = 0;
    for (const auto& s : segments) n += s.length;
    return n;
}

bool Layout::FromDefinition(const IsamFileSet& def, Layout& out) {
    if (def.recordLength <= 0 || def.indexCount < 0 || def.indexCount > 32) return false;
    if (def.indexCount > 0 && !def.indexes) return false;
    out = Layout{};
    out.recordLength = def.recordLength;
    for (int k = 0; k < def.indexCount; ++k) {
        const IsamIndex& src = def.indexes[k];
        if (src.segmentCount <= 0 || !src.segments || src.keyLength <= 0) return false;
        IndexLayout ix;
        ix.keyLength = src.keyLength;
        ix.duplicates = src.duplicates != 0;
        ix.padding = static_cast<unsigned char>(src.padding);
        for (int s = 0; s < src.segmentCount; ++s) {
            const IsamSegment& seg = src.segments[s];
            if (seg.offset < 0 || seg.length <= 0 || seg.offset + seg.length > def.recordLength)
                return false;
            if (seg.kind != ISAM_SEG_TEXT && seg.kind != ISAM_SEG_UNSIGNED) return false;
            ix.segments.push_back(seg);
        }
        // The position of a duplicate takes the last four bytes of the key.
        int room = ix.keyLength - (ix.duplicates ? 4 : 0);
        if (room < ix.SegmentBytes()) return false;
        out.indexes.push_back(std::move(ix));
    }
    return true;
}

std::string Layout::Describe() const {
    std::string s = "record " + std::to_string(recordLength);
    for (size_t k = 0; k < indexes.size(); ++k) {
        const auto& ix = indexes[k];
        s += "; index " + std::to_string(k + 1) + " key " + std::to_string(ix.keyLength) +
             (ix.duplicates ? " dup" : " unique") + " pad " + std::to_string(ix.padding) + " =";
        for (const auto& seg : ix.segments) {
            s += " (" + std::to_string(seg.offset) + "," + std::to_string(seg.length) + "," +
                 (seg.kind == ISAM_SEG_UNSIGNED ? "unsigned" : "text") + ")";
        }
    }
    return s;
}

bool Layout::FromDescription(const std::string& text, Layout& out) {
    // "record N; index K key L dup|unique pad P = (offset,length,kind) ..." repeated.
    std::istringstream in(text);
    std::string word;
    Layout l;
    if (!(in >> word) || word != "record" || !(in >> l.recordLength) || l.recordLength <= 0) return false;
    size_t expected = 1;
    while (in >> word) {
        size_t number = 0;
        IndexLayout ix;
        std::string keyWord, kind, padWord, equals;
        int pad = -1;
        if (word != ";" && word != "index") return false;
        if (word == ";" && !(in >> word)) return false;
        if (word != "index" || !(in >> number) || number != expected || !(in >> keyWord) ||
            keyWord != "key" || !(in >> ix.keyLength) || !(in >> kind) ||
            (kind != "dup" && kind != "unique") || !(in >> padWord) || padWord != "pad" ||
            !(in >> pad) || pad < 0 || pad > 255 || !(in >> equals) || equals != "=")
            return false;
        ix.duplicates = kind == "dup";
        ix.padding = static_cast<unsigned char>(pad);
        // Segments up to the next ";" or the end.
        std::string seg;
        while (in >> seg) {
            bool last = !seg.empty() && seg.back() == ';';
            if (last) seg.pop_back();
            IsamSegment s{};
            char kindText[16] = {};
            if (std::sscanf(seg.c_str(), "(%d,%d,%15[a-z])", &s.offset, &s.length, kindText) != 3)
                return false;
            const std::string k(kindText);
            if (k != "text" && k != "unsigned") return false;
            s.kind = k == "unsigned" ? ISAM_SEG_UNSIGNED : ISAM_SEG_TEXT;
            if (s.offset < 0 || s.length <= 0 || s.offset + s.length > l.recordLength) return false;
            ix.segments.push_back(s);
            if (last) break;
        }
        if (ix.segments.empty() || ix.keyLength - (ix.duplicates ? 4 : 0) < ix.SegmentBytes())
            return false;
        l.indexes.push_back(std::move(ix));
        ++expected;
    }
    if (l.Describe() != text) return false;
    out = std::move(l);
    return true;
}

namespace {

void AppendSegment(std::string& key, const unsigned char* bytes, const IsamSegment& seg) {
    if (seg.kind == ISAM_SEG_UNSIGNED && std::endian::native == std::endian::little) {
        for (int i = seg.length - 1; i >= 0; --i) key.push_back(static_cast<char>(bytes[i]));
    } else {
        key.append(reinterpret_cast<const char*>(bytes), seg.length);
    }
}

}  // namespace

std::string KeyFromRecord(const IndexLayout& ix, std::span<const unsigned char> record,
                          int64_t position) {
    std::string key;
    key.reserve(ix.keyLength);
    for (const auto& seg : ix.segments) {
        if (static_cast<size_t>(seg.offset + seg.length) > record.size()) {
            key.append(seg.length, static_cast<char>(ix.padding));
            continue;
        }
        AppendSegment(key, record.data() + seg.offset, seg);
    }
    const size_t room = ix.keyLength - (ix.duplicates ? 4 : 0);
    if (key.size() < room) key.append(room - key.size(), static_cast<char>(ix.padding));
    if (ix.duplicates) {
        auto p = static_cast<uint32_t>(position);
        for (int shift = 24; shift >= 0; shift -= 8) key.push_back(static_cast<char>(p >> shift));
    }
    return key;
}

void TransformKey(const IndexLayout& ix, unsigned char* key) {
    if (std::endian::native != std::endian::little) return;
    int at = 0;
    for (const auto& seg : ix.segments) {
        if (seg.kind == ISAM_SEG_UNSIGNED) std::reverse(key + at, key + at + seg.length);
        at += seg.length;
    }
}

std::string PrefixUpperBound(std::string prefix) {
    while (!prefix.empty()) {
        auto& last = reinterpret_cast<unsigned char&>(prefix.back());
        if (last != 0xFF) {
            ++last;
            return prefix;
        }
        prefix.pop_back();
    }
    return prefix;
}

}  // namespace qm::isam
