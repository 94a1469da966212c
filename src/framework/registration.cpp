namespace kx { void RegisterFrameworkClasses() {} }
