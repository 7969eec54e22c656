// Finding a field's value in URL-encoded text (name=value items joined by
// '&'). The plug-ins match names by two rules, and every caller names the
// one it relies on.
#ifndef FRAMEWORK_FORM_FIELD_H_
#define FRAMEWORK_FORM_FIELD_H_

// How a name is matched.
enum FieldMatch {
  // The name's first occurrence anywhere in the text, also inside another
  // item's name or inside a value; the value begins after the first '=' at
  // or after the start of that occurrence. "name" in "dbname=x&name=y" finds
  // x, and "name" in "subject=my name&x=1" finds 1. The parameter reader of
  // the request form works so, and the administration page relies on it.
  kFieldSubstring,
  // Only an item whose whole name is the name: at the start of the text or
  // right after '&', and followed by '='. Text a visitor typed into a value
  // can never pose as a field.
  kFieldWholeName
};

// The first byte of the value of `name` in `text` under `rule`; the value
// runs to the next '&' or the end of the text. NULL when the name is not
// found (under kFieldSubstring also when no '=' follows it) or either
// argument is NULL.
const char* FindFormField(const char* text, const char* name, FieldMatch rule);

// The bytes of a value found by FindFormField: up to the next '&' or NUL.
int FormFieldLength(const char* value);

#endif  // FRAMEWORK_FORM_FIELD_H_
