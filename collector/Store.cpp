#include "Store.h"

#include <openssl/evp.h>

namespace tallyvane::collector {

std::unique_ptr<Store> openStore(const std::string& where, std::string& error) {
    const bool postgres = where.starts_with("postgresql://") || where.starts_with("postgres://") ||
                          where.find('=') != std::string::npos;
    return postgres ? openPostgresStore(where, error) : openSqliteStore(where, error);
}

AddResult ReportBatches::add(const Received& report) {
    Waiting me{&report, std::nullopt};
    std::unique_lock lock(mutex_);
    queue_.push_back(&me);
    for (;;) {
        done_.wait(lock, [&] { return me.result || (writing_ < writers_ && !queue_.empty()); });
        if (me.result) return *me.result;
        ++writing_;  // this caller writes the next batch, which may or may not hold its report
        std::vector<Waiting*> batch;
        while (!queue_.empty() && batch.size() < kMaxBatch) {
            batch.push_back(queue_.front());
            queue_.pop_front();
        }
        lock.unlock();
        std::vector<const Received*> reports;
        for (const Waiting* w : batch) reports.push_back(w->report);
        std::vector<AddResult> results(batch.size(), AddResult::failed);
        try {
            write_(reports, results);
        } catch (...) {
            // results stays failed: the agents send these again
        }
        lock.lock();
        for (std::size_t i = 0; i < batch.size(); ++i) batch[i]->result = results[i];
        --writing_;
        done_.notify_all();
    }
}

namespace {

AddResult addAlone(const WriteSteps& steps, const Received& report) {
    if (steps.alone) return steps.alone(report);
    if (!steps.begin()) return AddResult::failed;
    const AddResult result = steps.add(report);
    if (result == AddResult::stored && steps.commit()) return AddResult::stored;
    steps.rollback();  // a duplicate changed nothing
    return result == AddResult::duplicate ? AddResult::duplicate : AddResult::failed;
}

}  // namespace

void writeBatch(const WriteSteps& steps, const std::vector<const Received*>& batch,
                std::vector<AddResult>& results) {
    if (batch.size() > 1 && steps.begin()) {
        bool ok = true;
        for (std::size_t i = 0; ok && i < batch.size(); ++i) {
            results[i] = steps.add(*batch[i]);
            ok = results[i] != AddResult::failed;
        }
        if (ok && steps.commit()) return;
        steps.rollback();
    }
    for (std::size_t i = 0; i < batch.size(); ++i) results[i] = addAlone(steps, *batch[i]);
}

void addDaySums(DaySums& sums, const std::vector<DayUse>& days) {
    for (const DayUse& d : days) {
        auto [sum, fresh] = sums.try_emplace({d.appDefinitionId, d.day}, d);
        if (fresh) continue;
        sum->second.launches += d.launches;
        sum->second.runTime += d.runTime;
        if (d.lastUsed >= sum->second.lastUsed) {
            sum->second.lastUsed = d.lastUsed;
            sum->second.productName = d.productName;
        }
    }
}

std::string requestDigest(const std::string& target, const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    // The target's length goes first, so no split of the same bytes gives the same digest.
    const std::string prefix = std::to_string(target.size()) + ":";
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), prefix.data(), prefix.size()) != 1 ||
        EVP_DigestUpdate(context.get(), target.data(), target.size()) != 1 ||
        EVP_DigestUpdate(context.get(), body.data(), body.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

}  // namespace tallyvane::collector
