#include "kavex/Normalization.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "config/ConfigManager.h"
#include "engine/Normalizer.h"
#include "interface/ByteForms.h"
#include "interface/TextUtils.h"

namespace {

struct Parts {
    std::unique_ptr<kavex::ConfigManager> config;
    std::unique_ptr<kavex::Normalizer> nfc;
    std::unique_ptr<kavex::Normalizer> nfd;
    std::unique_ptr<kavex::Normalizer> nfkd;
};

// The normalizer serving `mode`, or null for a value that is no mode.
const kavex::Normalizer* Select(int mode, const kavex::Normalizer* nfd,
                                const kavex::Normalizer* nfc, const kavex::Normalizer* nfkd) {
    switch (mode) {
        case Normalization::NFD:
            return nfd;
        case Normalization::NFC:
            return nfc;
        case Normalization::NFKD:
            return nfkd;
        default:
            return nullptr;
    }
}

std::unique_ptr<kavex::Normalizer> CopyOf(const kavex::Normalizer* normalizer) {
    return normalizer == nullptr ? nullptr : std::make_unique<kavex::Normalizer>(*normalizer);
}

}  // namespace

Normalization::Normalization()
    : initialized(false),
      configManager(nullptr),
      nfdNormalizer(nullptr),
      nfcNormalizer(nullptr),
      nfkdNormalizer(nullptr) {
    // Built in owners first so that running out of memory part-way leaks nothing and
    // leaves no half-built object behind.
    Parts parts;
    parts.config = std::make_unique<kavex::ConfigManager>();
    parts.nfc = std::make_unique<kavex::Normalizer>();
    parts.nfd = std::make_unique<kavex::Normalizer>();
    parts.nfkd = std::make_unique<kavex::Normalizer>();
    configManager = parts.config.release();
    nfcNormalizer = parts.nfc.release();
    nfdNormalizer = parts.nfd.release();
    nfkdNormalizer = parts.nfkd.release();
}

Normalization::~Normalization() {
    Clear();
    delete configManager;
    configManager = nullptr;
}

Normalization& Normalization::operator=(const Normalization& other) {
    if (this == &other) return *this;
    // Copy everything before touching the target, so a failed copy leaves it unchanged.
    Parts copy;
    copy.config = std::make_unique<kavex::ConfigManager>(*other.configManager);
    copy.nfc = CopyOf(other.nfcNormalizer);
    copy.nfd = CopyOf(other.nfdNormalizer);
    copy.nfkd = CopyOf(other.nfkdNormalizer);

    Clear();
    delete configManager;
    configManager = copy.config.release();
    nfcNormalizer = copy.nfc.release();
    nfdNormalizer = copy.nfd.release();
    nfkdNormalizer = copy.nfkd.release();
    initialized = other.initialized;
    return *this;
}

void Normalization::Clear() {
    configManager->Clear();
    for (kavex::Normalizer* normalizer : {nfcNormalizer, nfdNormalizer, nfkdNormalizer}) {
        if (normalizer != nullptr) normalizer->Clear();
    }
    delete nfcNormalizer;
    nfcNormalizer = nullptr;
    delete nfdNormalizer;
    nfdNormalizer = nullptr;
    delete nfkdNormalizer;
    nfkdNormalizer = nullptr;
    initialized = false;
}

bool Normalization::Initialize() {
    if (nfcNormalizer == nullptr || nfdNormalizer == nullptr || nfkdNormalizer == nullptr) {
        // After Clear: start over with three empty normalizers, as a new object would.
        Parts fresh;
        fresh.nfc = std::make_unique<kavex::Normalizer>();
        fresh.nfd = std::make_unique<kavex::Normalizer>();
        fresh.nfkd = std::make_unique<kavex::Normalizer>();
        delete nfcNormalizer;
        delete nfdNormalizer;
        delete nfkdNormalizer;
        nfcNormalizer = fresh.nfc.release();
        nfdNormalizer = fresh.nfd.release();
        nfkdNormalizer = fresh.nfkd.release();
    }

    if (!configManager->ReadConfigFile()) return false;
    if (!nfcNormalizer->LoadRules(configManager->nfcFilePath)) return false;
    if (!nfdNormalizer->LoadRules(configManager->nfdFilePath)) return false;
    if (!nfkdNormalizer->LoadRules(configManager->nfkdFilePath)) return false;
    initialized = true;
    return true;
}

int Normalization::Normalize(unsigned char* input, int length, NormMode mode,
                             unsigned char* output) {
    // A null buffer would be dereferenced; answer it as "nothing done" instead.
    if ((input == nullptr && length > 0) || output == nullptr) return 0;
    const kavex::Normalizer* normalizer =
        initialized ? Select(mode, nfdNormalizer, nfcNormalizer, nfkdNormalizer) : nullptr;
    if (normalizer == nullptr) {
        // The input is read even when nothing is done, as the byte format has it.
        (void)kavex::CountUnits(input, length);
        return 0;
    }
    return kavex::NormalizeUnsized(*normalizer, input, length, output, kavex::PathChoice::Auto());
}

int Normalization::Normalize(const unsigned char* input, int length, NormMode mode,
                             unsigned char* output, int capacity) const {
    if (input == nullptr && length > 0) return 0;
    if (output == nullptr && capacity > 0) return 0;
    if (!initialized) return 0;
    const kavex::Normalizer* normalizer =
        Select(mode, nfdNormalizer, nfcNormalizer, nfkdNormalizer);
    if (normalizer == nullptr) return 0;
    return kavex::NormalizeSized(*normalizer, input, length, output, capacity,
                                 kavex::PathChoice::Auto());
}
