// Placeholder until the fxr component has sources.
