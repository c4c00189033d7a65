// An interface obtained by QueryInterface for the length of one operation
// and released when it goes out of scope: how the bound nodes and entities
// reach their entity's control interfaces and the model's transport.
#pragma once

#include "adapter/base/unknown.h"

template <class I>
class InterfaceRef {
public:
    // A NULL object answers STATUS_INVALID_PARAMETER.
    InterfaceRef(IUnknown* object, REFIID iid) : m_Interface(NULL), m_Status(STATUS_INVALID_PARAMETER) {
        if (object != NULL) {
            m_Status = object->QueryInterface(iid, reinterpret_cast<PVOID*>(&m_Interface));
            if (!NT_SUCCESS(m_Status)) {
                m_Interface = NULL;
            }
        }
    }
    ~InterfaceRef() {
        if (m_Interface != NULL) {
            m_Interface->Release();
        }
    }
    InterfaceRef(const InterfaceRef&) = delete;
    InterfaceRef& operator=(const InterfaceRef&) = delete;

    NTSTATUS status() const { return m_Status; }
    I* get() const { return m_Interface; }
    I* operator->() const { return m_Interface; }

private:
    I* m_Interface;
    NTSTATUS m_Status;
};
