# sanitized: an interface target that builds and links with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report.
add_library(sanitized INTERFACE)
set(sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(sanitized INTERFACE ${sanitizer_flags})
target_link_options(sanitized INTERFACE ${sanitizer_flags})
