// Intentionally empty translation unit: keeps a kernel library without sources buildable.
