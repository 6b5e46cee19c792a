// Placeholder until the brelo component has sources.
