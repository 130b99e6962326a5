// The location table loader on any file image, through the buffer loader and through the file
// loader (reading the same bytes from a memory file): both give the same table, one entry per
// whole record plus one for a last record of at least 49 bytes, names within their field and
// trimmed. Range keys and the lookup run on the texts found; the sorted index gives the scan's
// answers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzhelp.h"
#include "memfile.h"
#include "engine/global_unit.h"
#include "engine/location.h"

namespace {

using fuzzhelp::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes = fuzzhelp::Bytes(data, size);
    veltrin::LocationTable table;
    const int count = veltrin::LoadLocationBytes(bytes, table);
    std::size_t expected = 0;
    if (size > veltrin::kLocationHeaderSize) {
        const std::size_t body = size - veltrin::kLocationHeaderSize;
        expected = body / veltrin::kLocationRecordSize +
                   (body % veltrin::kLocationRecordSize >= veltrin::kLocationRecordUsed ? 1 : 0);
    }
    if (expected > veltrin::kMaxLocationRecords) expected = veltrin::kMaxLocationRecords;
    Check(count >= 0 && static_cast<std::size_t>(count) == expected && table.size() == expected);
    bool named = false;  // a record whose name is the no-match text itself
    for (const veltrin::Tsockaddr& entry : table) {
        Check(entry.name.size() <= 18);
        if (!entry.name.empty()) {
            Check(static_cast<unsigned char>(entry.name.front()) > 32);
            Check(static_cast<unsigned char>(entry.name.back()) > 32);
        }
        if (entry.startkey <= entry.endkey) Check(veltrin::LookupLocation(table, entry.startkey).size() <= 18);
        named = named || entry.name == "Unkown IP";
    }
    // A key inside some range is always named by one of them.
    for (const veltrin::Tsockaddr& entry : table)
        if (entry.startkey <= entry.endkey && !named) Check(veltrin::LookupLocation(table, entry.endkey) != "Unkown IP");
    if (table.empty()) Check(veltrin::LookupLocation(table, 0) == "IP column is empty");

    // A failed fill leaves the file short; the comparison is then skipped.
    static fuzzhelp::MemFile file("address.dat");
    if (file.Fill(data, size)) {
        veltrin::LocationTable fromfile;
        const int filecount = veltrin::LoadLocationTable(file.path(), fromfile);
        Check(filecount == count && fromfile.size() == table.size());
        for (std::size_t i = 0; i < table.size(); ++i)
            Check(fromfile[i].startkey == table[i].startkey && fromfile[i].endkey == table[i].endkey &&
                  fromfile[i].name == table[i].name);
    }

    // The whole input as an address text.
    const std::int64_t key = veltrin::IpKey(bytes);
    (void)veltrin::LookupLocation(table, key);

    // The sorted index answers exactly as the file-order scan, at every bound and next to it.
    const veltrin::LocationIndex index(table);
    Check(index.segments() <= 2 * table.size());
    const auto same = [&](std::int64_t k) { Check(index.Lookup(k) == veltrin::LookupLocation(table, k)); };
    same(key);
    same(0);
    same(INT64_MIN);
    same(INT64_MAX);
    // The scan is linear: the bounds of the first 64 entries keep each input quick.
    for (std::size_t i = 0; i < table.size() && i < 64; ++i) {
        const veltrin::Tsockaddr& entry = table[i];
        for (const std::int64_t k : {entry.startkey, entry.endkey}) {
            same(k);
            if (k > INT64_MIN) same(k - 1);
            if (k < INT64_MAX) same(k + 1);
        }
    }
    return 0;
}
