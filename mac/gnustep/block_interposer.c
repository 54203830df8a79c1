/*
 * Debian's libBlocksRuntime only retains captured Objective-C objects when
 * an ObjC runtime registered retain/release hooks, which gcc's libobjc never
 * does: a copied block would then hold dangling objects. These definitions,
 * linked into the program as an object file, take precedence over the
 * library's and retain/release the captured objects themselves; every other
 * kind of capture goes on to the library.
 */
#define _GNU_SOURCE
#include <dlfcn.h>

/* The two entry points of gcc's libobjc that sending a message needs. */
typedef struct objc_object *id;
typedef const struct objc_selector *SEL;
typedef id (*IMP)(id, SEL, ...);
SEL sel_registerName(const char *name);
IMP objc_msg_lookup(id receiver, SEL selector);

enum {
    FIELD_IS_OBJECT = 3,
    FIELD_IS_BLOCK = 7,
    FIELD_IS_BYREF = 8,
    FIELD_IS_WEAK = 16,
    BYREF_CALLER = 128,
};

typedef void (*AssignFunction)(void *, const void *, const int);
typedef void (*DisposeFunction)(const void *, const int);

static void sendNoArgument(id object, const char *selectorName)
{
    SEL selector = sel_registerName(selectorName);
    IMP method = objc_msg_lookup(object, selector);
    if (method != 0) {
        method(object, selector);
    }
}

void _Block_object_assign(void *destination, const void *object, const int flags)
{
    if ((flags & (FIELD_IS_OBJECT | FIELD_IS_BLOCK | FIELD_IS_BYREF | FIELD_IS_WEAK | BYREF_CALLER)) ==
        FIELD_IS_OBJECT) {
        if (object != 0) {
            sendNoArgument((id)object, "retain");
        }
        *(const void **)destination = object;
        return;
    }
    static AssignFunction next = 0;
    if (next == 0) {
        next = (AssignFunction)dlsym(RTLD_NEXT, "_Block_object_assign");
    }
    next(destination, object, flags);
}

void _Block_object_dispose(const void *object, const int flags)
{
    if ((flags & (FIELD_IS_OBJECT | FIELD_IS_BLOCK | FIELD_IS_BYREF | FIELD_IS_WEAK | BYREF_CALLER)) ==
        FIELD_IS_OBJECT) {
        if (object != 0) {
            sendNoArgument((id)object, "release");
        }
        return;
    }
    static DisposeFunction next = 0;
    if (next == 0) {
        next = (DisposeFunction)dlsym(RTLD_NEXT, "_Block_object_dispose");
    }
    next(object, flags);
}
