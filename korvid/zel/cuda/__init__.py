# Package for the kernel set file and its loader (cubin_loader is provided by
# the korvid.zel.zel extension when it is imported).
