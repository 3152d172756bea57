#pragma once
// The rule table of DWARF call-frame information for one frame: the CFA rule
// and the register rules, with the remember/restore stack of levels, the
// interpreter of CFA programs and the application of a row to a thread
// state. One fixed-size object (a pool of rule entries shared by the levels,
// hashed per level), generic over the target's machine word.
// Async-signal-safe.
#include "bbcrash_async_dwarf.h"
#include "bbcrash_async_thread_state.h"

namespace bbcrash::BN::async {

// Register rule kinds. A register without a rule is undefined.
enum bbcrash_dwarf_cfa_reg_rule_t : uint32_t {
    REG_RULE_OFFSET = 0,          // saved at CFA + value
    REG_RULE_VAL_OFFSET = 1,      // is CFA + value
    REG_RULE_REGISTER = 2,        // is the value of DWARF register `value`
    REG_RULE_EXPRESSION = 3,      // saved at what the expression at `value` computes
    REG_RULE_VAL_EXPRESSION = 4,  // is what the expression at `value` computes
    REG_RULE_SAME_VALUE = 5,      // unchanged
};

enum dwarf_cfa_rule_type_t : uint32_t {
    CFA_UNDEFINED = 0,
    CFA_EXPRESSION = 1,       // task address and length of the expression bytes
    CFA_REGISTER = 2,         // DWARF register + unsigned offset
    CFA_REGISTER_SIGNED = 3,  // DWARF register + signed offset
};

template <typename machine_ptr, typename machine_ptr_s>
struct dwarf_cfa_rule_t {
    dwarf_cfa_rule_type_t type;
    uint32_t regnum;
    machine_ptr offset;           // REGISTER
    machine_ptr_s signed_offset;  // REGISTER_SIGNED
    platform::mach::mach_vm_address_t expression_address;
    uint64_t expression_length;
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
public:
    static constexpr uint8_t MAX_REGISTER_RULES = 100;
    static constexpr uint8_t MAX_STATE_LEVELS = 6;
    static constexpr uint8_t BUCKET_COUNT = 14;
    static constexpr uint8_t EMPTY = 0xff;

    using rule_t = dwarf_cfa_rule_t<machine_ptr, machine_ptr_s>;

    dwarf_cfa_state();

    // Inserts or replaces the register's rule in the current level; false
    // when the pool is exhausted.
    bool set_register(uint32_t regnum, bbcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
    bool get_register_rule(uint32_t regnum, bbcrash_dwarf_cfa_reg_rule_t *rule, machine_ptr *value) const;
    void remove_register(uint32_t regnum);
    uint8_t get_register_count() const { return levels_[level_].count; }

    void set_cfa_register(uint32_t regnum, machine_ptr offset);
    void set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset);
    void set_cfa_expression(platform::mach::mach_vm_address_t address, uint64_t length);
    rule_t get_cfa_rule() const { return levels_[level_].cfa; }

    // remember_state / restore_state: false at level 5 (or with the pool
    // too small for the copy) and at level 0.
    bool push_state();
    bool pop_state();

    // Runs `length` CFA instructions at address + offset from pc_start up to
    // the row that holds pc (pc 0: all of them). 0; 3 when the pool or the
    // levels run out; 4 for an unsupported instruction or register; 5 for
    // malformed instructions.
    bbcrash_error_t eval_program(bbcrash_async_mobject *mobj, machine_ptr pc, machine_ptr pc_start,
                                 const bbcrash_async_dwarf_cie_info *cie,
                                 const gnu_ehptr_reader<machine_ptr> *ptr_reader,
                                 const bbcrash_async_byteorder *byteorder, platform::mach::mach_vm_address_t address,
                                 int64_t offset, int64_t length);

    // Computes the caller's registers from the current row. 0; 4 for a CFA
    // register without a mapping; 8 for a register the state lacks; 5 for
    // an undefined CFA or an unmappable register rule; read and
    // expression errors.
    bbcrash_error_t apply_state(platform::mach::task_t task, const bbcrash_async_dwarf_cie_info *cie,
                                const bbcrash_async_thread_state *thread_state,
                                const bbcrash_async_byteorder *byteorder, bbcrash_async_thread_state *new_thread_state);

private:
    friend class dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>;

    struct entry_t {
        machine_ptr value;
        uint32_t regnum;
        bbcrash_dwarf_cfa_reg_rule_t rule;
        uint8_t next;
    };
    struct level_t {
        rule_t cfa;
        uint8_t count;
        uint8_t buckets[BUCKET_COUNT];
    };

    uint8_t allocate();
    void release(uint8_t index);
    void release_level(level_t *level);

    entry_t entries_[MAX_REGISTER_RULES];
    uint8_t free_list_;
    uint8_t level_;
    level_t levels_[MAX_STATE_LEVELS];
};

// Visits the current level's rules bucket by bucket, each bucket's rules in
// insertion order.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s> *state)
        : state_(state), bucket_(0), entry_(state->levels_[state->level_].buckets[0]) {}

    bool next(uint32_t *regnum, bbcrash_dwarf_cfa_reg_rule_t *rule, machine_ptr *value);

private:
    const dwarf_cfa_state<machine_ptr, machine_ptr_s> *state_;
    uint8_t bucket_;
    uint8_t entry_;
};

extern template class dwarf_cfa_state<uint32_t, int32_t>;
extern template class dwarf_cfa_state<uint64_t, int64_t>;
extern template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
extern template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace bbcrash::BN::async
