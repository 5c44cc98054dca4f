// Attaching the AGC's two probes to a telemetry context.
#include "agc/agc_core.h"

#include <cstdio>

int agc_set_telemetry(agc_core *a, kx_tlm_ctx *ctx, const char *prefix, uint32_t decim) noexcept {
    if (ctx == nullptr) {
        a->tlm = nullptr;  // the ids are kept, so re-attaching finds the same probes
        return KX_STATUS_OK;
    }
    // A ring the producer cannot index safely is refused before anything is
    // registered.
    if (!kx_tlm_ring_ok(ctx)) return KX_STATUS_INVALID;
    if (prefix == nullptr) prefix = "agc";
    // Names longer than 31 bytes are cut (snprintf always terminates); both
    // registrations run even when the first fails.
    char name[KX_TLM_NAME_LEN];
    std::snprintf(name, sizeof name, "%s.gain_db", prefix);
    const int32_t g = kx_tlm_register(ctx, name, decim);
    std::snprintf(name, sizeof name, "%s.level_db", prefix);
    const int32_t l = kx_tlm_register(ctx, name, decim);
    if (g < 0 || l < 0) return KX_STATUS_INVALID;
    a->gain_probe = uint32_t(g);
    a->level_probe = uint32_t(l);
    a->tlm = ctx;
    return KX_STATUS_OK;
}
