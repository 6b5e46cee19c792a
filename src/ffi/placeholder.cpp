// Placeholder until the ffi component has sources.
