// Every form of res/ (all_forms.cpp lists them), each made on a fresh top-level widget of its own class by its setupUi.
#pragma once

#include <QWidget>
#include <memory>
#include <vector>

struct FormEntry {
    const char* file;  // the form's file name without ".ui"
    std::unique_ptr<QWidget> (*make)();
};

const std::vector<FormEntry>& AllForms();
