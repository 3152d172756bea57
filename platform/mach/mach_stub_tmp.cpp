// Placeholder until the message layer lands: every call fails.
#include "platform/mach/exception_ports.h"
#include "platform/mach/exception_raise.h"
#include "platform/mach/mach_msg.h"

namespace platform::mach {
const NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};
kern_return_t mach_port_allocate(task_t, mach_port_right_t, mach_port_name_t *) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_mod_refs(task_t, mach_port_name_t, mach_port_right_t, mach_port_delta_t) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_deallocate(task_t, mach_port_name_t) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_get_refs(task_t, mach_port_name_t, mach_port_right_t, mach_port_urefs_t *) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_type(task_t, mach_port_name_t, mach_port_type_t *) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_insert_right(task_t, mach_port_name_t, mach_port_t, mach_msg_type_name_t) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_move_member(task_t, mach_port_name_t, mach_port_name_t) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_request_notification(task_t, mach_port_name_t, mach_msg_id_t, mach_port_mscount_t, mach_port_t,
                                             mach_msg_type_name_t, mach_port_t *) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_port_set_qlimit(task_t, mach_port_name_t, unsigned) { return KERN_NOT_SUPPORTED; }
bool mach_port_name_in_space(mach_port_name_t) { return false; }
mach_msg_return_t mach_msg(mach_msg_header_t *, mach_msg_option_t, mach_msg_size_t, mach_msg_size_t, mach_port_name_t,
                           mach_msg_timeout_t, mach_port_name_t) { return MACH_SEND_INVALID_DEST; }
kern_return_t task_get_exception_ports(task_t, exception_mask_t, exception_mask_array_t, mach_msg_type_number_t *,
                                       exception_handler_array_t, exception_behavior_array_t, exception_flavor_array_t) { return KERN_NOT_SUPPORTED; }
kern_return_t task_set_exception_ports(task_t, exception_mask_t, mach_port_t, exception_behavior_t, thread_state_flavor_t) { return KERN_NOT_SUPPORTED; }
kern_return_t task_swap_exception_ports(task_t, exception_mask_t, mach_port_t, exception_behavior_t, thread_state_flavor_t,
                                        exception_mask_array_t, mach_msg_type_number_t *, exception_handler_array_t,
                                        exception_behavior_array_t, exception_flavor_array_t) { return KERN_NOT_SUPPORTED; }
kern_return_t thread_get_exception_ports(thread_t, exception_mask_t, exception_mask_array_t, mach_msg_type_number_t *,
                                         exception_handler_array_t, exception_behavior_array_t, exception_flavor_array_t) { return KERN_NOT_SUPPORTED; }
kern_return_t thread_set_exception_ports(thread_t, exception_mask_t, mach_port_t, exception_behavior_t, thread_state_flavor_t) { return KERN_NOT_SUPPORTED; }
kern_return_t thread_swap_exception_ports(thread_t, exception_mask_t, mach_port_t, exception_behavior_t, thread_state_flavor_t,
                                          exception_mask_array_t, mach_msg_type_number_t *, exception_handler_array_t,
                                          exception_behavior_array_t, exception_flavor_array_t) { return KERN_NOT_SUPPORTED; }
kern_return_t mach_exception_raise(mach_port_t, thread_t, task_t, exception_type_t, const mach_exception_data_type_t *,
                                   mach_msg_type_number_t) { return KERN_FAILURE; }
kern_return_t mach_exception_raise_state(mach_port_t, exception_type_t, const mach_exception_data_type_t *, mach_msg_type_number_t,
                                         thread_state_flavor_t *, const natural_t *, mach_msg_type_number_t, natural_t *,
                                         mach_msg_type_number_t *) { return KERN_FAILURE; }
kern_return_t mach_exception_raise_state_identity(mach_port_t, thread_t, task_t, exception_type_t, const mach_exception_data_type_t *,
                                                  mach_msg_type_number_t, thread_state_flavor_t *, const natural_t *,
                                                  mach_msg_type_number_t, natural_t *, mach_msg_type_number_t *) { return KERN_FAILURE; }
kern_return_t exception_raise(mach_port_t, thread_t, task_t, exception_type_t, const exception_data_type_t *,
                              mach_msg_type_number_t) { return KERN_FAILURE; }
kern_return_t exception_raise_state(mach_port_t, exception_type_t, const exception_data_type_t *, mach_msg_type_number_t,
                                    thread_state_flavor_t *, const natural_t *, mach_msg_type_number_t, natural_t *,
                                    mach_msg_type_number_t *) { return KERN_FAILURE; }
kern_return_t exception_raise_state_identity(mach_port_t, thread_t, task_t, exception_type_t, const exception_data_type_t *,
                                             mach_msg_type_number_t, thread_state_flavor_t *, const natural_t *,
                                             mach_msg_type_number_t, natural_t *, mach_msg_type_number_t *) { return KERN_FAILURE; }
}  // namespace platform::mach
