// A tiny arm64 dylib whose __TEXT,__objc_methname holds selector names, for
// the formatter's selector recovery.
    .section __TEXT,__text,regular,pure_instructions
    .globl _fixture_function
    .p2align 2
_fixture_function:
    ret

    .section __TEXT,__objc_methname,regular
l_selector_first:
    .asciz "initWithFrame:"
l_selector_second:
    .asciz "drawRect:"
