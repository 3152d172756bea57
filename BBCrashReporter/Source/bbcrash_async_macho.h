#pragma once
// Crash-time reading of a loaded Mach-O image: the image record with its
// load commands, segments and sections, the symbol table and the nearest
// symbol search, and lazily mapped strings. Only bbcrash_async_macho_init
// and bbcrash_async_macho_free allocate; everything else is
// async-signal-safe.
#include "bbcrash_async_mobject.h"
#include "platform/dyld/loader.h"

struct bbcrash_async_macho {
    platform::mach::task_t task;
    platform::mach::mach_vm_address_t header_addr;  // task address of the Mach-O header
    int64_t vmaddr_slide;                           // image base - "__TEXT" vmaddr
    char *name;                                     // own copy of the path
    platform::dyld::mach_header header;             // as read (byte order of the image)
    platform::mach::mach_vm_size_t header_size;     // 28 or 32
    uint32_t ncmds;                                 // host order
    bbcrash_async_mobject load_cmds;
    platform::mach::mach_vm_address_t text_vmaddr;
    platform::mach::mach_vm_size_t text_size;
    bool m64;
    const bbcrash_async_byteorder *byteorder;
    // Where the image really begins. Equal to header_addr for a genuine
    // Mach-O image; for an image presented through a header built elsewhere
    // it is the first byte of the image's "__TEXT". Containment, the slide
    // and the reported base address all use it.
    platform::mach::mach_vm_address_t image_base;
    void *list_node;  // the image list node that holds this record
    // The symbol table (without LC_DYSYMTAB) was found sorted by value when
    // the record was built: the nearest-symbol search may then bisect it.
    bool symtab_sorted;
    // Ranges the crash-time readers map (the compact unwind table, the symbol
    // and string tables), found readable when the record was built. They stay
    // so while the image is listed, so under a hold on the task they need no
    // probing again (platform/mach/vm_hold.h).
    struct {
        platform::mach::mach_vm_address_t start;
        platform::mach::mach_vm_size_t length;
    } readable_ranges[2];
    uint32_t readable_range_count;
};

struct bbcrash_async_macho_mapped_segment {
    bbcrash_async_mobject mobj;
    uint64_t fileoff;
    uint64_t filesize;
};

struct bbcrash_async_macho_symtab_entry_t {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    platform::mach::mach_vm_address_t n_value;
    platform::mach::mach_vm_address_t normalized_value;  // bit 0 set for Thumb definitions
};

struct bbcrash_async_macho_symtab_reader {
    bbcrash_async_macho *image;
    bbcrash_async_macho_mapped_segment linkedit;
    void *symtab;
    uint32_t nsyms;
    void *symtab_global;
    uint32_t nsyms_global;
    void *symtab_local;
    uint32_t nsyms_local;
    char *string_table;
    size_t string_table_size;
};

struct bbcrash_async_macho_string {
    bbcrash_async_macho *image;
    platform::mach::mach_vm_address_t address;
    bbcrash_async_mobject mobj;
    bool mapped;
    platform::mach::mach_vm_size_t length;
};

using bbcrash_async_macho_found_symbol_cb = void (*)(platform::mach::mach_vm_address_t address, const char *name,
                                                     void *ctx);

// Builds the record of the image whose header is at `header` (its base is
// the header itself). 0; 6 when the header cannot be read; 5 for an unknown
// magic or a missing or malformed "__TEXT" segment command; the mapping's
// code when the load commands cannot be mapped; 3 when the path cannot be
// copied.
bbcrash_error_t bbcrash_async_macho_init(bbcrash_async_macho *image, platform::mach::task_t task, const char *path,
                                         platform::mach::mach_vm_address_t header);
// The same for a header that lives apart from the image it describes.
bbcrash_error_t bbcrash_async_macho_init_with_base(bbcrash_async_macho *image, platform::mach::task_t task,
                                                   const char *path, platform::mach::mach_vm_address_t header,
                                                   platform::mach::mach_vm_address_t image_base);
void bbcrash_async_macho_free(bbcrash_async_macho *image);

// image base <= address < image base + "__TEXT" size.
bool bbcrash_async_macho_contains_address(bbcrash_async_macho *image, platform::mach::mach_vm_address_t address);

// Load commands as local pointers into the mapped commands, or null.
void *bbcrash_async_macho_next_command(bbcrash_async_macho *image, void *previous);
void *bbcrash_async_macho_find_command(bbcrash_async_macho *image, uint32_t type);
void *bbcrash_async_macho_find_segment_cmd(bbcrash_async_macho *image, const char *segname);

bbcrash_error_t bbcrash_async_macho_map_segment(bbcrash_async_macho *image, const char *segname,
                                                bbcrash_async_macho_mapped_segment *segment);
void bbcrash_async_macho_mapped_segment_free(bbcrash_async_macho_mapped_segment *segment);
bbcrash_error_t bbcrash_async_macho_map_section(bbcrash_async_macho *image, const char *segname, const char *sectname,
                                                bbcrash_async_mobject *mobj);

bbcrash_error_t bbcrash_async_macho_symtab_reader_init(bbcrash_async_macho_symtab_reader *reader,
                                                       bbcrash_async_macho *image);
bbcrash_async_macho_symtab_entry_t bbcrash_async_macho_symtab_reader_read(bbcrash_async_macho_symtab_reader *reader,
                                                                          void *symtab, uint32_t index);
void bbcrash_async_macho_symtab_reader_free(bbcrash_async_macho_symtab_reader *reader);

// The symbol nearest at or below `pc`; the callback gets its slid address
// and its NUL-terminated name.
bbcrash_error_t bbcrash_async_macho_find_symbol_by_pc(bbcrash_async_macho *image, platform::mach::mach_vm_address_t pc,
                                                      bbcrash_async_macho_found_symbol_cb callback, void *ctx);

// A NUL-terminated string of the task, mapped a page at a time on first use.
bbcrash_error_t bbcrash_async_macho_string_init(bbcrash_async_macho_string *string, bbcrash_async_macho *image,
                                                platform::mach::mach_vm_address_t address);
bbcrash_error_t bbcrash_async_macho_string_get_length(bbcrash_async_macho_string *string,
                                                      platform::mach::mach_vm_size_t *length);
bbcrash_error_t bbcrash_async_macho_string_get_pointer(bbcrash_async_macho_string *string, const char **pointer);
void bbcrash_async_macho_string_free(bbcrash_async_macho_string *string);

// Longest string the lazy mapping follows before giving up (5).
constexpr platform::mach::mach_vm_size_t BBCRASH_ASYNC_MACHO_STRING_MAX_PAGES = 16;
