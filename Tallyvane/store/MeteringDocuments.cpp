// Reading and writing the metering files' documents: the folder lock, the recovery of an
// interrupted save, and the documents remembered between a write and the next read.
#include "plist/Plist.h"
#include "plist/XmlWriter.h"
#include "store/MeteringFiles.h"

namespace tallyvane::store {

using plist::Dict;
using plist::Value;

MeteringFiles::Locked::Locked(MeteringFiles& files, const std::string& path) : files_(files) {
    if (files_.lockDepth_++ == 0) files_.lock_ = files_.files_.lockFolder(directoryOf(path));
}

MeteringFiles::Locked::~Locked() {
    if (--files_.lockDepth_ == 0) files_.lock_.reset();
}

Result<std::string> MeteringFiles::readBytes(const std::string& path) {
    if (files_.exists(sidecarOf(path)))
        if (auto pending = recover(path)) return std::move(*pending);
    return files_.readFile(path);
}

std::optional<std::string> MeteringFiles::recover(const std::string& path) {
    const Locked locked(*this, path);  // a writer of ours that is mid-way finishes first
    return DurableFile(files_, path)
        .recover([](std::string_view bytes) { return plist::parse(bytes).ok(); }, log_);
}

std::optional<DocumentCache::Fingerprint> MeteringFiles::rememberedFingerprint(
    const std::string& path) {
    // Nothing to match, or a rewrite to recover first: the bytes are read whole anyway.
    if (!documents_.remembers(path) || files_.exists(sidecarOf(path))) return std::nullopt;
    DocumentCache::Fingerprinting hashing;
    if (!files_.readInPieces(path, [&](std::string_view piece) { hashing.add(piece); }))
        return std::nullopt;
    return hashing.done();
}

Status MeteringFiles::rewrite(const std::string& path, const Value& value, bool& exact,
                              std::optional<DocumentCache::Fingerprint>& fingerprint) {
    // The XML goes to the sidecar as it is made, and is fingerprinted on its way there.
    DocumentCache::Fingerprinting hashing;
    Status written = DurableFile(files_, path).rewrite([&](const DurableFile::Sink& sink) {
        const bool made = plist::writeXml(
            value,
            [&](std::string_view piece) {
                hashing.add(piece);
                sink(piece);
            },
            &exact);
        return made ? Status() : Status::error("The property list could not be serialized as XML.");
    });
    if (written) fingerprint = hashing.done();
    return written;
}

Result<Value> MeteringFiles::read(const std::string& path) {
    if (auto fingerprint = rememberedFingerprint(path))
        if (auto known = documents_.take(*fingerprint)) return std::move(*known);
    auto bytes = readBytes(path);
    if (!bytes) return bytes.status();
    // Whoever changes it writes it, and the write remembers what it wrote.
    if (auto known = documents_.take(DocumentCache::Fingerprint::of(*bytes)))
        return std::move(*known);
    return plist::parse(*bytes);
}

Result<DocumentCache::Shared> MeteringFiles::view(const std::string& path) {
    if (auto fingerprint = rememberedFingerprint(path))
        if (auto known = documents_.find(*fingerprint)) return known;
    auto bytes = readBytes(path);
    if (!bytes) return bytes.status();
    const auto fingerprint = DocumentCache::Fingerprint::of(*bytes);
    if (auto known = documents_.find(fingerprint)) return known;
    auto value = plist::parse(*bytes);
    if (!value) return value.status();
    auto shared = std::make_shared<Value>(std::move(*value));
    documents_.remember(path, fingerprint, shared);
    return DocumentCache::Shared(std::move(shared));
}

Status MeteringFiles::write(const std::string& path, Value value, Write how) {
    const Locked locked(*this, path);
    bool exact = false;
    std::optional<DocumentCache::Fingerprint> fingerprint;
    Status written;
    if (how == Write::InPlace) {
        written = rewrite(path, value, exact, fingerprint);
    } else {
        auto xml = plist::writeXml(value, &exact);
        if (!xml) return Status::error("The property list could not be serialized as XML.");
        written = replaceAtomically(files_, path, *xml);
        if (written.ok() && exact) fingerprint = DocumentCache::Fingerprint::of(*xml);
    }
    // What was written is what the next read finds, unless the writer could not keep it exact.
    if (written.ok() && exact && fingerprint)
        documents_.remember(path, *fingerprint, std::make_shared<Value>(std::move(value)));
    return written;
}

const Dict* MeteringFiles::viewDict(const std::string& path, DocumentCache::Shared& holder) {
    auto root = view(path);
    if (!root) return nullptr;
    holder = std::move(*root);
    return plist::asDict(*holder);
}

std::optional<Dict> MeteringFiles::readDict(const std::string& path) {
    auto root = read(path);
    Dict* dict = root ? plist::asDict(*root) : nullptr;
    if (!dict) return std::nullopt;
    return std::move(*dict);
}

}  // namespace tallyvane::store
