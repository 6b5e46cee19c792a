// Placeholder until the media component has sources.
