"""Checks that every function and extern variable that the installed headers
declare, and do not define themselves, is exported by an installed library.

    check_linkable.py <prefix>

Every header under <prefix>/include/vexo is compiled into one translation
unit; clang's syntax tree gives the mangled name of each declaration that
lies in those headers, and `nm -D` the symbols the installed libraries
define. A declaration that no library defines is one that a caller can
compile against but not link.
"""
import json
import os
import subprocess
import sys

DECL_KINDS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl", "VarDecl"}
# Subtrees whose functions exist only once instantiated.
TEMPLATE_KINDS = {"FunctionTemplateDecl", "ClassTemplateDecl", "ClassTemplatePartialSpecializationDecl",
                  "ClassTemplateSpecializationDecl", "VarTemplateDecl", "TypeAliasTemplateDecl"}
BODY_KINDS = {"CompoundStmt", "CXXTryStmt"}


def syntax_tree(include_dir, headers):
    source = "".join(f'#include "{h}"\n' for h in headers)
    result = subprocess.run(
        ["clang++", "-std=c++17", "-fsyntax-only", "-Xclang", "-ast-dump=json", "-I", include_dir, "-x", "c++", "-"],
        input=source, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"the installed headers do not compile together:\n{result.stderr}")
    return json.loads(result.stdout)


class Collector:
    """Walks the tree in print order: clang writes a location's file only
    when it differs from the previous location's, so the current file is
    carried along."""

    def __init__(self, include_dir):
        self.include_dir = os.path.realpath(include_dir)
        self.file = ""
        self.declared = {}  # mangled name -> readable name
        self.defined = set()

    def track(self, value):
        if isinstance(value, dict):
            for key, item in value.items():
                if key == "file":
                    self.file = item
                elif key != "includedFrom":
                    self.track(item)
        elif isinstance(value, list):
            for item in value:
                self.track(item)

    def walk(self, node):
        kind = node.get("kind")
        for key in ("loc", "range"):
            if key in node:
                self.track(node[key])
        in_headers = os.path.realpath(self.file).startswith(self.include_dir + os.sep) if self.file else False
        if kind in TEMPLATE_KINDS or node.get("isImplicit"):
            self.track(node.get("inner", []))
            return
        if kind in DECL_KINDS and in_headers and "mangledName" in node:
            self.note(node, kind)
        for child in node.get("inner", []):
            if isinstance(child, dict):
                self.walk(child)

    def note(self, node, kind):
        name = node["mangledName"]
        inner = node.get("inner", [])
        if kind == "VarDecl":
            # Only extern declarations without an initialiser need a library.
            if node.get("storageClass") != "extern" or node.get("init"):
                self.defined.add(name)
                return
        elif (node.get("inline") or node.get("explicitlyDeleted") or node.get("explicitlyDefaulted")
              or node.get("storageClass") == "static" and kind == "FunctionDecl"
              or any(c.get("kind") in BODY_KINDS for c in inner if isinstance(c, dict))):
            self.defined.add(name)
            return
        self.declared.setdefault(name, node.get("name", name))


def exported(libraries):
    symbols = set()
    for library in libraries:
        out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True, check=True)
        symbols.update(line.split()[-1].split("@")[0] for line in out.stdout.splitlines() if line.strip())
    return symbols


def main():
    prefix = sys.argv[1]
    include_dir = os.path.join(prefix, "include", "vexo")
    headers = sorted(os.path.relpath(os.path.join(root, f), include_dir)
                     for root, _, files in os.walk(include_dir) for f in files if f.endswith(".h"))
    collector = Collector(include_dir)
    collector.walk(syntax_tree(include_dir, headers))
    symbols = exported([os.path.join(prefix, "lib", "libvexo.so"), os.path.join(prefix, "lib", "libbmlib.so.0")])
    missing = sorted(readable + "  (" + name + ")" for name, readable in collector.declared.items()
                     if name not in collector.defined and name not in symbols)
    if not collector.declared:
        sys.exit("no declaration found in the installed headers")
    if missing:
        sys.exit("declared in the installed headers but not exported:\n  " + "\n  ".join(missing))
    print(f"{len(collector.declared)} declarations of {len(headers)} headers link")


if __name__ == "__main__":
    main()
