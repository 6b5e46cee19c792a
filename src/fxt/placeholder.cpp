// Placeholder until the fxt component has sources.
